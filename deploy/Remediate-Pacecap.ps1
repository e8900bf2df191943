<#
.SYNOPSIS
    Remediation script for Intune remediations, Configuration Manager or a
    scheduled task: sets the maximum processor state limits of the active
    power scheme with Pacecap, on every kind of core.
.DESCRIPTION
    Runs "Pacecap PluggedIn OnBattery", shows its output and ends with its
    exit code: 0 set and applied; 1 invalid value, nothing changed; 2 no
    active power scheme, nothing changed; 3 a write or the apply step failed;
    4 Pacecap.exe not found or could not be started, nothing changed.
    An on-battery value of 0 leaves that limit as it is. Needs no
    administrator rights.
    Intune passes no parameters: set the wanted values in the param block.
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Remediate-Pacecap.ps1 -PluggedIn 99 -OnBattery 80
#>
param(
    # The wanted values: edit these defaults where the tool passes no parameters.
    [int]$PluggedIn = 99,
    [int]$OnBattery = 80,
    # Pacecap.exe to use; by default the one beside this script, else the one
    # on the machine's PATH as it is now (not as the service saw it at boot).
    [string]$Pacecap = ''
)

# Intune runs scripts in 32-bit PowerShell, where System32 is redirected:
# run again in the 64-bit one, with the same parameters.
if ([Environment]::Is64BitOperatingSystem -and -not [Environment]::Is64BitProcess) {
    $arguments = foreach ($parameter in $PSBoundParameters.GetEnumerator()) {
        "-$($parameter.Key)"; "$($parameter.Value)"
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

# Pacecap checks the values itself too; checking here first gives the same
# message and exit code without starting it.
foreach ($value in $PluggedIn, $OnBattery) {
    if ($value -lt 0 -or $value -gt 100) {
        Write-Output "Invalid value $value`: each must lie between 0 and 100; nothing changed"
        exit 1
    }
}
$exe = Find-Pacecap $Pacecap
if (-not $exe) {
    Write-Output 'Pacecap.exe was found neither beside this script nor on the PATH; nothing changed'
    exit 4
}

# Captured output is a pipe, so Pacecap never waits for a key here.
try {
    $output = (& $exe $PluggedIn $OnBattery | Out-String)
    $code = $LASTEXITCODE
} catch {
    Write-Output "Pacecap could not be started ($exe): $($_.Exception.Message)"
    exit 4
}
Write-Output $output.TrimEnd()
exit $code
