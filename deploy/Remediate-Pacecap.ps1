<#
.SYNOPSIS
    Remediation script for Intune remediations, Configuration Manager or a
    scheduled task: sets the maximum processor state limits of the active
    power scheme with Pacecap.
.DESCRIPTION
    Runs "Pacecap PluggedIn OnBattery", shows its output and ends with its
    exit code: 0 set and applied; 1 invalid value, nothing changed; 2 no
    active power scheme, nothing changed; 3 a write or the apply step failed;
    4 Pacecap.exe could not be started.
    An on-battery value of 0 leaves that limit as it is. Needs no
    administrator rights.
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Remediate-Pacecap.ps1 -PluggedIn 99 -OnBattery 80
#>
param(
    [int]$PluggedIn = 99,
    [int]$OnBattery = 80,
    # Pacecap.exe beside this script, else the one found on PATH.
    [string]$Pacecap = $(if (Test-Path -LiteralPath "$PSScriptRoot\Pacecap.exe") { "$PSScriptRoot\Pacecap.exe" } else { 'Pacecap.exe' })
)

# Captured output is a pipe, so Pacecap never waits for a key here. Pacecap
# itself checks the values, so a wrong one gives its message and exit code 1.
try {
    $output = (& $Pacecap $PluggedIn $OnBattery | Out-String)
    $code = $LASTEXITCODE
} catch {
    Write-Output "Pacecap could not be started: $($_.Exception.Message)"
    exit 4
}
Write-Output $output.TrimEnd()
exit $code
