<#
.SYNOPSIS
    Keeps the maximum processor state limits set: registers one scheduled task
    that puts them back as SYSTEM, with no window, at every logon, on every
    resume from sleep or Modern Standby and whenever the active power scheme
    is changed.
.DESCRIPTION
    Copies Pacecap.exe and Remediate-Pacecap.ps1 to "%ProgramFiles%\Pacecap",
    where only administrators can change them (the task runs them as SYSTEM),
    unless they are there already, and registers the task "Pacecap". It runs
    Remediate-Pacecap.ps1, which changes and applies nothing when the values
    already hold, on three triggers:
      - at the logon of any user;
      - a resume, from the System log: Microsoft-Windows-Power-Troubleshooter
        event 1 (the system has resumed from a low-power state), or
        Microsoft-Windows-Kernel-Power event 107 (resumed from sleep) or 507
        (left Modern Standby, where event 1 may never come);
      - System log, Microsoft-Windows-UserModePowerService, event 12 (a
        process has set the active power scheme), except when Pacecap itself
        set it, which would start the task again.
    Run it again to change the values; -Remove removes the task and the copies.
    Needs an administrator prompt. Both files must be out of standard users'
    reach, as for the roll-out scripts: see Detect-Pacecap.ps1.
    Exit codes: 0 done; 1 invalid value, nothing changed; 4 Pacecap.exe or
    Remediate-Pacecap.ps1 not found or refused, nothing changed; 5 not run as
    administrator, nothing changed; 6 the task could not be registered or
    removed.
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
    # one in %ProgramFiles%\Pacecap, else the first on the machine's PATH.
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
        elseif ("$($parameter.Value)" -ne '') { "-$($parameter.Key)"; "$($parameter.Value)" }
    }
    & "$env:windir\Sysnative\WindowsPowerShell\v1.0\powershell.exe" -NoProfile -ExecutionPolicy Bypass -File $PSCommandPath @arguments
    exit $LASTEXITCODE
}

# The Pacecap.exe to use, by full path: the one given, else the one beside this
# script, else the one in %ProgramFiles%\Pacecap, else the first on the
# machine's PATH, then on this process's. $null when there is none.
function Find-Pacecap([string]$Given) {
    if ($Given) {
        if (Test-Path -LiteralPath $Given -PathType Leaf) { return Convert-Path -LiteralPath $Given }
        return $null
    }
    $path = "$PSScriptRoot;$(Join-Path $env:ProgramFiles 'Pacecap');" +
        [Environment]::GetEnvironmentVariable('Path', 'Machine') + ';' + $env:Path
    foreach ($folder in $path.Split(';')) {
        $folder = [Environment]::ExpandEnvironmentVariables($folder.Trim().Trim('"'))
        if ($folder -notmatch '^[A-Za-z]:\\') { continue }  # a relative entry means a different folder to each
        $candidate = Join-Path $folder 'Pacecap.exe'
        if (Test-Path -LiteralPath $candidate -PathType Leaf) { return $candidate }
    }
    return $null
}

# Who may hold rights that change what runs as SYSTEM: SYSTEM, Administrators,
# TrustedInstaller, and the account running this, which has those rights
# already. CREATOR OWNER and OWNER RIGHTS entries grant nothing of their own.
$Trusted = 'S-1-5-18', 'S-1-5-32-544', 'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464',
    [Security.Principal.WindowsIdentity]::GetCurrent().User.Value
$Placeholders = 'S-1-3-0', 'S-1-3-4'

# The FileSystemRights that anyone else holds on a file or folder itself; all
# of them when anyone else owns it, as an owner may rewrite the ACL. An
# inherit-only entry is left out: the items below carry it themselves.
function Get-UntrustedRights([string]$Path) {
    $acl = Get-Acl -LiteralPath $Path -ErrorAction Stop
    $sid = [Security.Principal.SecurityIdentifier]
    if ($Trusted -notcontains $acl.GetOwner($sid).Value) { return -1 }
    $rights = 0
    foreach ($rule in $acl.GetAccessRules($true, $true, $sid)) {
        $who = $rule.IdentityReference.Value
        if ($rule.AccessControlType -eq 'Allow' -and $Trusted -notcontains $who -and $Placeholders -notcontains $who -and
            ([int]$rule.PropagationFlags -band 2) -eq 0) {  # 2: InheritOnly
            $rights = $rights -bor [int]$rule.FileSystemRights
        }
    }
    $rights
}

# Why standard users (anyone but the trusted above) could put another file in
# place of $Path, a file or a folder, or '' when they cannot: its own rights, its folder's, and
# those of every folder above. The rights looked for: 0x2 write data (in a
# folder: create files), 0x4 append (create folders), 0x40 delete what a
# folder holds, 0x10000 delete, 0x40000 change permissions, 0x80000 take
# ownership, and the generic all (0x10000000) and write (0x40000000).
function Get-Exposure([string]$Path) {
    try {
        $Path = [IO.Path]::GetFullPath($Path)
        if ($Path -notmatch '^[A-Za-z]:\\[^\\]') { return 'it is not on a local drive' }
        # A network drive's permissions are another machine's; FAT has none.
        $drive = New-Object IO.DriveInfo $Path.Substring(0, 1)
        if ($drive.DriveType -ne 'Fixed' -or @('NTFS', 'ReFS') -notcontains $drive.DriveFormat) {
            return 'it is not on a local NTFS or ReFS drive'
        }
        $checks = @()
        $folder = $Path
        if (Test-Path -LiteralPath $Path -PathType Leaf) {
            $checks += , @($Path, 0x500D0006, 'standard users can change or delete it')
            $folder = Split-Path -Parent $Path
        }
        $checks += , @($folder, 0x500D0046, "standard users can add, change or delete files in $folder")
        for ($up = Split-Path -Parent $folder; $up; $up = Split-Path -Parent $up) {
            $checks += , @($up, 0x100D0040, "standard users can delete, rename or take over $up")
        }
        foreach ($check in $checks) {
            $at, $mask, $what = $check
            # A link: what it leads to is not what the ACLs here describe.
            if ([int]((Get-Item -LiteralPath $at -Force -ErrorAction Stop).Attributes) -band 0x400) {
                return "$at is a link"
            }
            if (-not (Split-Path -Parent $at)) { $mask = $mask -band -bnot 0x10000 }  # a drive's root cannot be deleted
            if ((Get-UntrustedRights $at) -band $mask) { return $what }
        }
        return ''
    } catch {
        return "its permissions could not be read ($($_.Exception.Message))"
    }
}

# Whatever runs as SYSTEM or elevated must lie out of standard users' reach:
# the refusal for $Path when it does not, else ''.
function Get-Refusal([string]$Path) {
    $identity = [Security.Principal.WindowsIdentity]::GetCurrent()
    $principal = New-Object Security.Principal.WindowsPrincipal($identity)
    if (-not ($identity.IsSystem -or $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator))) {
        return ''
    }
    $why = Get-Exposure $Path
    if (-not $why) { return '' }
    "Refused $Path, as this runs with administrator rights and $why. Put it in " +
        "$(Join-Path $env:ProgramFiles 'Pacecap'), where only administrators can change it"
}

# An event-log query for events of the System log, each of $Events given as
# 'Provider=Id'; $Except names a process whose events are left out.
function New-EventQuery([string[]]$Events, [string]$Except = '') {
    $select = foreach ($one in $Events) {
        $provider, $id = $one.Split('=')
        "<Select Path=`"System`">*[System[Provider[@Name='$provider'] and EventID=$id]]</Select>"
    }
    $select = -join $select
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
$remediate = Join-Path $InstallFolder 'Remediate-Pacecap.ps1'

if ($Remove) {
    # Run from the install folder, the files are the installation itself, not copies.
    $copies = [IO.Path]::GetFullPath($PSScriptRoot).TrimEnd('\') -ne $InstallFolder
    try {
        if (Get-ScheduledTask -TaskName $TaskName -ErrorAction SilentlyContinue) {
            Unregister-ScheduledTask -TaskName $TaskName -Confirm:$false -ErrorAction Stop
        }
        if ($copies) {
            Remove-Item -LiteralPath $installed, $remediate -Force -ErrorAction SilentlyContinue
            if ((Test-Path -LiteralPath $InstallFolder) -and -not (Get-ChildItem -LiteralPath $InstallFolder -Force)) {
                Remove-Item -LiteralPath $InstallFolder -Force
            }
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
if (-not $exe) {
    Write-Output 'Pacecap.exe was not found: put it in %ProgramFiles%\Pacecap, or name it with -Pacecap; nothing changed'
    exit 4
}
$script = "$PSScriptRoot\Remediate-Pacecap.ps1"
if (-not (Test-Path -LiteralPath $script -PathType Leaf)) {
    Write-Output "Remediate-Pacecap.ps1 was not found beside this script ($script); nothing changed"
    exit 4
}
# Ends the run with exit 4 at the first of $Paths that is refused; $Outcome
# says what that leaves.
function Stop-AtRefusal([string[]]$Paths, [string]$Outcome) {
    foreach ($path in $Paths) {
        $refusal = Get-Refusal $path
        if ($refusal) {
            Write-Output "$refusal; $Outcome"
            exit 4
        }
    }
}

# What the task runs as SYSTEM is only ever copied from where standard users
# cannot change it, into a folder where they cannot either. A file copied
# over keeps its own permissions, so those there already are checked too.
$sources = @($exe, $script) + @($InstallFolder, $installed, $remediate | Where-Object { Test-Path -LiteralPath $_ })
Stop-AtRefusal $sources 'nothing changed'

try {
    New-Item -ItemType Directory -Path $InstallFolder -Force -ErrorAction Stop | Out-Null
    foreach ($copy in @{ From = $exe; To = $installed }, @{ From = $script; To = $remediate }) {
        # The same content is left alone, which also covers a file copied onto itself.
        $same = (Test-Path -LiteralPath $copy.To) -and
            (Get-FileHash -LiteralPath $copy.From).Hash -eq (Get-FileHash -LiteralPath $copy.To).Hash
        if (-not $same) { Copy-Item -LiteralPath $copy.From -Destination $copy.To -Force -ErrorAction Stop }
    }
    # A script unpacked from a downloaded zip is marked as from the internet,
    # which an execution policy of RemoteSigned would refuse to run.
    Unblock-File -LiteralPath $remediate -ErrorAction Stop
    # New items belong to whoever the system's policy names for an administrator,
    # maybe the account itself, which SYSTEM does not trust: make Administrators
    # the owner (only the owner is written), then check as SYSTEM will, with
    # the entries a new file takes from its folder.
    foreach ($path in $InstallFolder, $installed, $remediate) {
        $item = Get-Item -LiteralPath $path -Force -ErrorAction Stop
        $kind = if ($item.PSIsContainer) { 'DirectorySecurity' } else { 'FileSecurity' }
        $security = New-Object "Security.AccessControl.$kind"
        $security.SetOwner([Security.Principal.SecurityIdentifier]'S-1-5-32-544')
        $item.SetAccessControl($security)
    }
    $Trusted = $Trusted | Select-Object -First 3
    Stop-AtRefusal $installed, $remediate 'no task registered'

    $resume = 'Microsoft-Windows-Power-Troubleshooter=1', 'Microsoft-Windows-Kernel-Power=107',
        'Microsoft-Windows-Kernel-Power=507'
    $triggers = @(
        New-ScheduledTaskTrigger -AtLogOn
        New-EventTrigger (New-EventQuery $resume)
        New-EventTrigger (New-EventQuery 'Microsoft-Windows-UserModePowerService=12' $installed)
    )
    # PowerShell by its full path: nothing that runs as SYSTEM is looked up on the PATH.
    $powershell = Join-Path $env:SystemRoot 'System32\WindowsPowerShell\v1.0\powershell.exe'
    $action = New-ScheduledTaskAction -Execute $powershell -Argument ("-NoProfile -NonInteractive -ExecutionPolicy Bypass " +
        "-File `"$remediate`" -PluggedIn $PluggedIn -OnBattery $OnBattery")
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
Write-Output "Task $TaskName registered: $remediate -PluggedIn $PluggedIn -OnBattery $OnBattery, as SYSTEM, at logon, on resume and when the power scheme changes"
exit 0
