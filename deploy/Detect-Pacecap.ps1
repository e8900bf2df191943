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
    100; 4 Pacecap.exe not found, refused, could not be started or was
    stopped at its time limit. The first line of the output says which, as
    Intune shows it in its report.
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
    With -ConfigMgr (a Configuration Manager configuration item, which takes
    any exit code but 0 as a failed discovery) it prints only "Compliant" or
    "NonCompliant" and exits 0; the errors above still exit 2 or 4.
    Intune passes no parameters: set the wanted values in the param block.
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Detect-Pacecap.ps1 -PluggedIn 99 -OnBattery 80
#>
param(
    # The wanted values: edit these defaults where the tool passes no parameters.
    [int]$PluggedIn = 99, [int]$OnBattery = 80,
    # Pacecap.exe to use; by default %ProgramFiles%\Pacecap\Pacecap.exe, and
    # for a standard user's own run the one beside this script first and the
    # first on the machine's PATH as it is now after it.
    [string]$Pacecap = '', [switch]$ConfigMgr
)

. "$PSScriptRoot\shared\PacecapShared.ps1"

# The outcome of a detection: the Text to show and the exit Code.
function Invoke-Detect([int]$PluggedIn, [int]$OnBattery, [string]$Pacecap, [bool]$ConfigMgr, $Bound) {
    # Intune runs scripts in 32-bit PowerShell, where System32 is redirected:
    # run again in the 64-bit one, with the same parameters.
    if ($relaunch = Start-Relaunch $PSCommandPath $Bound) { return $relaunch }
    $invalid = Find-InvalidValue $PluggedIn, $OnBattery
    if ($null -ne $invalid) { return @{ Code = 2; Text = "Invalid wanted value $invalid`: each must lie between 0 and 100" } }
    $found = Resolve-Pacecap $Pacecap $PSScriptRoot
    if (-not $found.Exe) { return @{ Code = 4; Text = $found.Text } }
    try {
        $ran = Invoke-Pacecap $found.Exe '0'
    } catch {
        return @{ Code = 4; Text = "Pacecap could not be started ($($found.Exe)): $($_.Exception.Message)" }
    }
    if ($ran.Stopped) { return @{ Code = 4; Text = "Pacecap was stopped ($($found.Exe)): $($ran.Stopped)" } }
    $compliant = $ran.Code -eq 0 -and (Test-Held $ran.Output $PluggedIn $OnBattery)
    if ($ConfigMgr) { return @{ Code = 0; Text = $(if ($compliant) { 'Compliant' } else { 'NonCompliant' }) } }
    $report = Get-Report $ran
    if ($compliant) { return @{ Code = 0; Text = "Compliant: $report" } }
    $wanted = "plugged-in $PluggedIn%, on-battery $(if ($OnBattery) { "$OnBattery%" } else { 'any' })"
    @{ Code = 1; Text = "Not compliant: $report (wanted $wanted)" }
}

# The values that Pacecap's "0" output shows, for the report's first line.
function Get-Report($Ran) {
    $values = foreach ($kind in 'plugged-in', 'on-battery') {
        if ($Ran.Output -match "$kind value is (\d+)%") { "$kind $($Matches[1])%" }
    }
    if ($Ran.Code -ne 0 -or @($values).Count -ne 2) { return "Pacecap could not read the values (exit code $($Ran.Code))" }
    $classes = [regex]::Matches($Ran.Output, '(plugged-in|on-battery) value of efficiency class (\d+) is (\d+)%')
    (@($values) + @(foreach ($line in $classes) {
        "$($line.Groups[1].Value) of efficiency class $($line.Groups[2].Value) $($line.Groups[3].Value)%"
    })) -join ', '
}

# Dot-sourced (as the tests do), it only defines the functions above.
if ($MyInvocation.InvocationName -ne '.') {
    $outcome = Invoke-Detect $PluggedIn $OnBattery $Pacecap $ConfigMgr $PSBoundParameters
    Write-Output $outcome.Text
    exit $outcome.Code
}
