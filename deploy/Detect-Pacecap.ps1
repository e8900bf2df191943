<#
.SYNOPSIS
    Detection script for Intune remediations, Configuration Manager or a
    scheduled task: are the maximum processor state limits of the active power
    scheme the wanted ones, on every kind of core?
.DESCRIPTION
    Runs "Pacecap 0" and compares the plugged-in and on-battery values it
    shows, those of the faster cores included, with the wanted ones. An
    on-battery value of 0 means "any".
    Exit codes: 0 compliant; 1 not compliant, or Pacecap could not read the
    values (the remediation script should run); 2 a wanted value outside 0 to
    100; 4 Pacecap.exe not found or could not be started.
    With -ConfigMgr (a Configuration Manager configuration item, which takes
    any exit code but 0 as a failed discovery) it prints only "Compliant" or
    "NonCompliant" and exits 0; the errors above still exit 2 or 4.
    Intune passes no parameters: set the wanted values in the param block.
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Detect-Pacecap.ps1 -PluggedIn 99 -OnBattery 80
#>
param(
    # The wanted values: edit these defaults where the tool passes no parameters.
    [int]$PluggedIn = 99,
    [int]$OnBattery = 80,
    # Pacecap.exe to use; by default the one beside this script, else the one
    # on the machine's PATH as it is now (not as the service saw it at boot).
    [string]$Pacecap = '',
    [switch]$ConfigMgr
)

# Intune runs scripts in 32-bit PowerShell, where System32 is redirected:
# run again in the 64-bit one, with the same parameters.
if ([Environment]::Is64BitOperatingSystem -and -not [Environment]::Is64BitProcess) {
    $arguments = foreach ($parameter in $PSBoundParameters.GetEnumerator()) {
        if ($parameter.Value -is [switch]) { if ($parameter.Value) { "-$($parameter.Key)" } }
        else { "-$($parameter.Key)"; "$($parameter.Value)" }
    }
    & "$env:windir\Sysnative\WindowsPowerShell\v1.0\powershell.exe" -NoProfile -ExecutionPolicy Bypass -File $PSCommandPath @arguments
    exit $LASTEXITCODE
}

function Find-Pacecap([string]$Given) {
    if ($Given) { return $Given }
    if (Test-Path -LiteralPath "$PSScriptRoot\Pacecap.exe") { return "$PSScriptRoot\Pacecap.exe" }
    $path = [Environment]::GetEnvironmentVariable('Path', 'Machine') + ';' + $env:Path
    foreach ($folder in $path.Split(';')) {
        if (-not $folder) { continue }
        $candidate = Join-Path ([Environment]::ExpandEnvironmentVariables($folder.Trim('"'))) 'Pacecap.exe'
        if (Test-Path -LiteralPath $candidate -PathType Leaf) { return $candidate }
    }
    return $null
}

foreach ($value in $PluggedIn, $OnBattery) {
    if ($value -lt 0 -or $value -gt 100) {
        Write-Output "Invalid wanted value $value`: each must lie between 0 and 100"
        exit 2
    }
}
$exe = Find-Pacecap $Pacecap
if (-not $exe) {
    Write-Output 'Pacecap.exe was found neither beside this script nor on the PATH'
    exit 4
}

# Captured output is a pipe, so Pacecap never waits for a key here.
try {
    $shown = (& $exe 0 | Out-String)
    $code = $LASTEXITCODE
} catch {
    Write-Output "Pacecap could not be started ($exe): $($_.Exception.Message)"
    exit 4
}
$pluggedInNow = if ($shown -match 'plugged-in value is (\d+)%') { [int]$Matches[1] } else { $null }
$onBatteryNow = if ($shown -match 'on-battery value is (\d+)%') { [int]$Matches[1] } else { $null }
$compliant = $false
$report = "Pacecap could not read the values (exit code $code)"
if ($code -eq 0 -and $null -ne $pluggedInNow -and $null -ne $onBatteryNow) {
    $report = "plugged-in $pluggedInNow%, on-battery $onBatteryNow%"
    $compliant = $pluggedInNow -eq $PluggedIn -and ($OnBattery -eq 0 -or $onBatteryNow -eq $OnBattery)
    # Pacecap shows a faster kind of core only where it differs from the rest.
    foreach ($line in [regex]::Matches($shown, '(plugged-in|on-battery) value of efficiency class (\d+) is (\d+)%')) {
        $pluggedInLine = $line.Groups[1].Value -eq 'plugged-in'
        $wanted = if ($pluggedInLine) { $PluggedIn } else { $OnBattery }
        $any = -not $pluggedInLine -and $OnBattery -eq 0
        if (-not $any -and [int]$line.Groups[3].Value -ne $wanted) { $compliant = $false }
        $report += ", $($line.Groups[1].Value) of efficiency class $($line.Groups[2].Value) $($line.Groups[3].Value)%"
    }
}

if ($ConfigMgr) {
    Write-Output $(if ($compliant) { 'Compliant' } else { 'NonCompliant' })
    exit 0
}
if ($compliant) {
    Write-Output "Compliant: $report"
    exit 0
}
Write-Output "Not compliant: $report (wanted plugged-in $PluggedIn%, on-battery $(if ($OnBattery) { "$OnBattery%" } else { 'any' }))"
exit 1
