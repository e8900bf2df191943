<#
.SYNOPSIS
    Detection script for Intune remediations, Configuration Manager or a
    scheduled task: are the maximum processor state limits of the active power
    scheme the wanted ones?
.DESCRIPTION
    Runs "Pacecap 0" and compares the plugged-in and on-battery values it
    shows with the wanted ones. An on-battery value of 0 means "any".
    Exit code 0: compliant. Exit code 1: not compliant, or Pacecap could not
    read the values; the remediation script should run.
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Detect-Pacecap.ps1 -PluggedIn 99 -OnBattery 80
#>
param(
    [ValidateRange(0, 100)][int]$PluggedIn = 99,
    [ValidateRange(0, 100)][int]$OnBattery = 80,
    # Pacecap.exe beside this script, else the one found on PATH.
    [string]$Pacecap = $(if (Test-Path -LiteralPath "$PSScriptRoot\Pacecap.exe") { "$PSScriptRoot\Pacecap.exe" } else { 'Pacecap.exe' })
)

# Captured output is a pipe, so Pacecap never waits for a key here.
try {
    $shown = (& $Pacecap 0 | Out-String)
    $code = $LASTEXITCODE
} catch {
    Write-Output "Not compliant: Pacecap could not be started ($($_.Exception.Message))"
    exit 1
}
$pluggedInNow = if ($shown -match 'plugged-in value is (\d+)%') { [int]$Matches[1] } else { $null }
$onBatteryNow = if ($shown -match 'on-battery value is (\d+)%') { [int]$Matches[1] } else { $null }
if ($code -ne 0 -or $null -eq $pluggedInNow -or $null -eq $onBatteryNow) {
    Write-Output "Not compliant: Pacecap could not read the values (exit code $code)"
    exit 1
}

if ($pluggedInNow -eq $PluggedIn -and ($OnBattery -eq 0 -or $onBatteryNow -eq $OnBattery)) {
    Write-Output "Compliant: plugged-in $pluggedInNow%, on-battery $onBatteryNow%"
    exit 0
}
Write-Output "Not compliant: plugged-in $pluggedInNow% (wanted $PluggedIn%), on-battery $onBatteryNow% (wanted $(if ($OnBattery) { "$OnBattery%" } else { 'any' }))"
exit 1
