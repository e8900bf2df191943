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
    the apply step failed, or the setting run was stopped after it started
    (a value may have changed); 4 Pacecap.exe not found or refused, or a
    run that never started or only read the values, nothing changed.
    An on-battery value of 0 leaves that limit as it is. Needs no
    administrator rights.
    Who gets the checks: every run that is not provably a standard user's
    own. That is SYSTEM, LOCAL SERVICE, NETWORK SERVICE and every service
    account; any token with the Administrators, Backup Operators or Server
    Operators group, even for deny only (an administrator's unelevated
    run), or with the SERVICE group; any token of High integrity or above;
    and any token that cannot be read. Such a run starts or copies only
    "%ProgramFiles%\Pacecap\Pacecap.exe" or the file -Pacecap names, never
    one on the PATH or beside the script; only when its path is written as
    Windows opens it (a full path from a volume's own drive letter, "\"
    alone as separator, no name that ends in a dot or a space, no \\?\,
    \\.\ or UNC form, no stream, a file name that ends in .exe), else
    the refusal names the form to use;
    and only when standard users can neither change nor move aside the file,
    its folder or any folder above it. A standard user's own run uses the
    Pacecap.exe beside the script, else the one in %ProgramFiles%\Pacecap,
    else the first on the PATH.
    %ProgramFiles% is the folder that the machine's registry names
    (ProgramFilesDir, in its 64-bit view) and Windows PowerShell, to run
    again in, the one in the system folder (GetSystemDirectory): never
    folders from the environment, which an administrator's unelevated
    programs can set. When either cannot be read, nothing is started.
    Intune passes no parameters: set the wanted values in the param block.
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Remediate-Pacecap.ps1 -PluggedIn 99 -OnBattery 80
#>
param(
    # The wanted values: edit these defaults where the tool passes no parameters.
    [int]$PluggedIn = 99,
    [int]$OnBattery = 80,
    # Pacecap.exe to use; by default %ProgramFiles%\Pacecap\Pacecap.exe, and
    # for a standard user's own run the one beside this script first and the
    # first on the machine's PATH as it is now after it.
    [string]$Pacecap = ''
)

. "$PSScriptRoot\shared\PacecapShared.ps1"

# The outcome of a remediation: the Text to show and the exit Code.
function Invoke-Remediate([int]$PluggedIn, [int]$OnBattery, [string]$Pacecap, $Bound) {
    # Intune runs scripts in 32-bit PowerShell, where System32 is redirected:
    # run again in the 64-bit one, with the same parameters.
    if ($relaunch = Start-Relaunch $PSCommandPath $Bound $false 3) { return $relaunch }
    # Pacecap checks the values itself too; checking here first gives the same
    # message and exit code without starting it.
    $invalid = Find-InvalidValue $PluggedIn, $OnBattery
    if ($null -ne $invalid) { return @{ Code = 1; Text = "Invalid value $invalid`: each must lie between 0 and 100; nothing changed" } }
    $found = Resolve-Pacecap $Pacecap $PSScriptRoot
    if (-not $found.Exe) { return @{ Code = 4; Text = "$($found.Text); nothing changed" } }
    # Applying logs a change of power scheme, which starts whatever watches
    # for one (the task of Register-PacecapTask.ps1 among them): apply only
    # what is needed.
    try { $shown = Invoke-Pacecap $found.Exe '0' } catch { return Get-NotStarted $found.Exe $_ }
    if ($shown.Stopped) { return @{ Code = 4; Text = "Pacecap 0 was stopped ($($found.Exe)): $($shown.Stopped); nothing changed" } }
    if ($shown.Code -eq 0 -and (Test-Held $shown.Output $PluggedIn $OnBattery)) {
        $onBatteryText = if ($OnBattery) { "$OnBattery%" } else { 'left as it was' }
        return @{ Code = 0; Text = "Already set: plugged-in $PluggedIn%, on-battery $onBatteryText; nothing changed" }
    }
    try { $set = Invoke-Pacecap $found.Exe "$PluggedIn $OnBattery" } catch { return Get-NotStarted $found.Exe $_ }
    # It started, so it may have written one value before it was stopped.
    if ($set.Stopped) {
        return @{ Code = 3; Text = "Pacecap $PluggedIn $OnBattery was stopped after it started ($($found.Exe)): $($set.Stopped); a value may have changed" }
    }
    @{ Code = $set.Code; Text = $set.Output.TrimEnd() }
}

# The outcome when Pacecap could not be started: nothing changed.
function Get-NotStarted([string]$Exe, $ErrorRecord) {
    @{ Code = 4; Text = "Pacecap could not be started ($Exe): $($ErrorRecord.Exception.Message); nothing changed" }
}

# Dot-sourced (as the tests do), it only defines the functions above.
if ($MyInvocation.InvocationName -ne '.') {
    $outcome = Invoke-Remediate $PluggedIn $OnBattery $Pacecap $PSBoundParameters
    Write-Output $outcome.Text
    exit $outcome.Code
}
