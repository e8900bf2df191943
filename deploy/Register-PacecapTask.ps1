<#
.SYNOPSIS
    Keeps the maximum processor state limits set: registers one scheduled task
    that runs Pacecap as SYSTEM, with no window, at every logon, on every
    resume from sleep and whenever the active power scheme is changed.
.DESCRIPTION
    Copies Pacecap.exe to "%ProgramFiles%\Pacecap", where only administrators
    can change it (the task runs it as SYSTEM), and registers the task
    "Pacecap" with three triggers:
      - at the logon of any user;
      - System log, Microsoft-Windows-Power-Troubleshooter, event 1 (the
        system has resumed from a low-power state);
      - System log, Microsoft-Windows-UserModePowerService, event 12 (a
        process has set the active power scheme), except when Pacecap itself
        set it, which would start the task again and again.
    Run it again to change the values; -Remove removes the task and the copy.
    Needs an administrator prompt.
    Exit codes: 0 done; 1 invalid value, nothing changed; 4 Pacecap.exe not
    found, nothing changed; 5 not run as administrator, nothing changed;
    6 the task could not be registered or removed.
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Register-PacecapTask.ps1 -PluggedIn 99 -OnBattery 80
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Register-PacecapTask.ps1 -Remove
#>
param(
    # The wanted values: edit these defaults where the tool passes no parameters.
    [int]$PluggedIn = 99,
    [int]$OnBattery = 80,
    # Pacecap.exe to install; by default the one beside this script, else the
    # one on the machine's PATH.
    [string]$Pacecap = '',
    [switch]$Remove
)

$TaskName = 'Pacecap'
$InstallFolder = Join-Path $env:ProgramFiles 'Pacecap'

# In 32-bit PowerShell %ProgramFiles% is the x86 folder and System32 is
# redirected: run again in the 64-bit one, with the same parameters.
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

# An event-log query for one event of the System log; $Except names a process
# whose events are left out.
function New-EventQuery([string]$Provider, [int]$Id, [string]$Except = '') {
    $select = "<Select Path=`"System`">*[System[Provider[@Name='$Provider'] and EventID=$Id]]</Select>"
    $suppress = if ($Except) {
        "<Suppress Path=`"System`">*[EventData[Data[@Name='ProcessPath']='$([Security.SecurityElement]::Escape($Except))']]</Suppress>"
    } else { '' }
    "<QueryList><Query Id=`"0`" Path=`"System`">$select$suppress</Query></QueryList>"
}

function New-EventTrigger([string]$Subscription) {
    $class = Get-CimClass -ClassName MSFT_TaskEventTrigger -Namespace Root/Microsoft/Windows/TaskScheduler
    $trigger = New-CimInstance -CimClass $class -ClientOnly
    $trigger.Enabled = $true
    $trigger.Subscription = $Subscription
    # Lets whatever resets the values on resume or with a new scheme finish first.
    $trigger.Delay = 'PT10S'
    $trigger
}

$principal = New-Object Security.Principal.WindowsPrincipal([Security.Principal.WindowsIdentity]::GetCurrent())
if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
    Write-Output 'Run this from an administrator prompt: it registers a task that runs as SYSTEM; nothing changed'
    exit 5
}
$installed = Join-Path $InstallFolder 'Pacecap.exe'

if ($Remove) {
    try {
        if (Get-ScheduledTask -TaskName $TaskName -ErrorAction SilentlyContinue) {
            Unregister-ScheduledTask -TaskName $TaskName -Confirm:$false -ErrorAction Stop
        }
        Remove-Item -LiteralPath $installed -Force -ErrorAction SilentlyContinue
        if (Test-Path -LiteralPath $InstallFolder) {
            if (-not (Get-ChildItem -LiteralPath $InstallFolder -Force)) { Remove-Item -LiteralPath $InstallFolder -Force }
        }
    } catch {
        Write-Output "The task could not be removed: $($_.Exception.Message)"
        exit 6
    }
    Write-Output "Task $TaskName removed; the limits stay as they are (Pacecap 100 100 lifts them)"
    exit 0
}

foreach ($value in $PluggedIn, $OnBattery) {
    if ($value -lt 0 -or $value -gt 100) {
        Write-Output "Invalid value $value`: each must lie between 0 and 100; nothing changed"
        exit 1
    }
}
$exe = Find-Pacecap $Pacecap
if (-not $exe -or -not (Test-Path -LiteralPath $exe -PathType Leaf)) {
    Write-Output 'Pacecap.exe was found neither beside this script nor on the PATH; nothing changed'
    exit 4
}

try {
    New-Item -ItemType Directory -Path $InstallFolder -Force -ErrorAction Stop | Out-Null
    if ((Resolve-Path -LiteralPath $exe).ProviderPath -ne $installed) {
        Copy-Item -LiteralPath $exe -Destination $installed -Force -ErrorAction Stop
    }
    $triggers = @(
        New-ScheduledTaskTrigger -AtLogOn
        New-EventTrigger (New-EventQuery 'Microsoft-Windows-Power-Troubleshooter' 1)
        New-EventTrigger (New-EventQuery 'Microsoft-Windows-UserModePowerService' 12 $installed)
    )
    $action = New-ScheduledTaskAction -Execute $installed -Argument "$PluggedIn $OnBattery"
    $system = New-ScheduledTaskPrincipal -UserId 'S-1-5-18' -LogonType ServiceAccount -RunLevel Highest
    $settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries -StartWhenAvailable `
        -MultipleInstances IgnoreNew -ExecutionTimeLimit (New-TimeSpan -Minutes 1)
    Register-ScheduledTask -TaskName $TaskName -Action $action -Trigger $triggers -Principal $system `
        -Settings $settings -Description "Sets the maximum processor state to $PluggedIn% plugged in and $OnBattery% on battery (0: unchanged)." `
        -Force -ErrorAction Stop | Out-Null
} catch {
    Write-Output "The task could not be registered: $($_.Exception.Message)"
    exit 6
}
Write-Output "Task $TaskName registered: $installed $PluggedIn $OnBattery, as SYSTEM, at logon, on resume and when the power scheme changes"
exit 0
