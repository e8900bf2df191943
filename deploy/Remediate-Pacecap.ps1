<#
.SYNOPSIS
    Remediation script for Intune remediations, Configuration Manager or a
    scheduled task: sets the maximum processor state limits of the active
    power scheme with Pacecap, on every kind of core.
.DESCRIPTION
    Runs "Pacecap 0" and, unless every kind of core already has the wanted
    values, "Pacecap PluggedIn OnBattery"; shows the output and ends with its
    exit code: 0 set and applied, or already set (then nothing is applied, so
    nothing that watches for a new power scheme is started); 1 invalid value,
    nothing changed; 2 no active power scheme, nothing changed; 3 a write or
    the apply step failed; 4 Pacecap.exe not found, refused or could not be
    started, nothing changed.
    An on-battery value of 0 leaves that limit as it is. Needs no
    administrator rights. Run as SYSTEM or elevated, it starts only a
    Pacecap.exe that standard users can neither change nor move aside, such
    as one in "%ProgramFiles%\Pacecap": the permissions of the file, of its
    folder and of every folder above it are checked.
    Intune passes no parameters: set the wanted values in the param block.
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Remediate-Pacecap.ps1 -PluggedIn 99 -OnBattery 80
#>
param(
    # The wanted values: edit these defaults where the tool passes no parameters.
    [int]$PluggedIn = 99,
    [int]$OnBattery = 80,
    # Pacecap.exe to use; by default the one beside this script, else the one
    # in %ProgramFiles%\Pacecap, else the first on the machine's PATH as it is
    # now (not as the service saw it at boot).
    [string]$Pacecap = ''
)

. "$PSScriptRoot\shared\PacecapShared.ps1"

# The outcome of a remediation: the Text to show and the exit Code.
function Invoke-Remediate([int]$PluggedIn, [int]$OnBattery, [string]$Pacecap, $Bound) {
    # Intune runs scripts in 32-bit PowerShell, where System32 is redirected:
    # run again in the 64-bit one, with the same parameters.
    if ($relaunch = Start-Relaunch $PSCommandPath $Bound) { return $relaunch }
    # Pacecap checks the values itself too; checking here first gives the same
    # message and exit code without starting it.
    $invalid = Find-InvalidValue $PluggedIn, $OnBattery
    if ($null -ne $invalid) { return @{ Code = 1; Text = "Invalid value $invalid`: each must lie between 0 and 100; nothing changed" } }
    $found = Resolve-Pacecap $Pacecap $PSScriptRoot
    if (-not $found.Exe) { return @{ Code = 4; Text = "$($found.Text); nothing changed" } }
    try {
        # Applying logs a change of power scheme, which starts whatever watches
        # for one (the task of Register-PacecapTask.ps1 among them): apply only
        # what is needed.
        $shown = Invoke-Pacecap $found.Exe '0'
        if ($shown.Code -eq 0 -and (Test-Held $shown.Output $PluggedIn $OnBattery)) {
            $onBatteryText = if ($OnBattery) { "$OnBattery%" } else { 'left as it was' }
            return @{ Code = 0; Text = "Already set: plugged-in $PluggedIn%, on-battery $onBatteryText; nothing changed" }
        }
        $set = Invoke-Pacecap $found.Exe "$PluggedIn $OnBattery"
    } catch {
        return @{ Code = 4; Text = "Pacecap could not be started ($($found.Exe)): $($_.Exception.Message)" }
    }
    @{ Code = $set.Code; Text = $set.Output.TrimEnd() }
}

# Dot-sourced (as the tests do), it only defines the functions above.
if ($MyInvocation.InvocationName -ne '.') {
    $outcome = Invoke-Remediate $PluggedIn $OnBattery $Pacecap $PSBoundParameters
    Write-Output $outcome.Text
    exit $outcome.Code
}
