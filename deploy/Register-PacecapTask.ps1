<#
.SYNOPSIS
    Keeps the maximum processor state limits set: registers one scheduled task
    that puts them back as SYSTEM, with no window, at every logon, on every
    resume from sleep or Modern Standby and whenever the active power scheme
    is changed.
.DESCRIPTION
    Copies Pacecap.exe and Remediate-Pacecap.ps1 (standing alone) into
    "%ProgramFiles%\Pacecap\Task", a folder of the task's own that only
    SYSTEM and administrators can use, and registers the task "Pacecap". It
    runs that Remediate-Pacecap.ps1 with that Pacecap.exe, which changes and
    applies nothing when the values already hold, on three triggers:
      - at the logon of any user;
      - a resume, from the System log: Microsoft-Windows-Power-Troubleshooter
        event 1 (the system has resumed from a low-power state), or
        Microsoft-Windows-Kernel-Power event 107 (resumed from sleep) or 507
        (left Modern Standby, where event 1 may never come);
      - System log, Microsoft-Windows-UserModePowerService, event 12 (a
        process has set the active power scheme), except when the task's own
        Pacecap.exe set it, which would start the task again.
    Run it again to change the values, with -Pacecap naming the task's own
    copy if you like: the new copy is made whole beside the old one before
    it takes its place, and the new task replaces the old one, so a failed
    step leaves the old task or its copy. -Remove removes the task and its
    folder, deleting each entry alone and never following a link: a link
    anywhere in it (which this never makes) is refused, nothing changed.
    Needs an administrator prompt; from PowerShell 7 it runs itself again in
    Windows PowerShell. It copies only %ProgramFiles%\Pacecap\Pacecap.exe or
    the file -Pacecap names, checked as the roll-out scripts check what they
    start as SYSTEM (see Detect-Pacecap.ps1), and %ProgramFiles%\Pacecap
    must be out of standard users' reach where it exists already.
    %ProgramFiles% is the folder that the machine's registry names
    (ProgramFilesDir, in its 64-bit view), and the task's Windows PowerShell
    the one in the system folder (GetSystemDirectory): never folders from
    the environment, which an administrator's unelevated programs can set.
    When either cannot be read, nothing changes.
    Exit codes: 0 done; 1 invalid value, nothing changed; 4 Pacecap.exe,
    Remediate-Pacecap.ps1 or %ProgramFiles%\Pacecap not found, refused or
    not read, or a link in the task's folder, nothing changed (or the copies
    refused, the task left as it was); 5 not run as administrator, nothing
    changed; 6 the task could not be registered or removed, or the run in
    Windows PowerShell was stopped after 240 seconds.
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Register-PacecapTask.ps1 -PluggedIn 99 -OnBattery 80
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Register-PacecapTask.ps1 -Remove
#>
param(
    # The wanted values: edit these defaults where the tool passes no parameters.
    [int]$PluggedIn = 99,
    [int]$OnBattery = 80,
    # Pacecap.exe to copy; by default %ProgramFiles%\Pacecap\Pacecap.exe.
    [string]$Pacecap = '',
    [switch]$Remove
)

. "$PSScriptRoot\shared\PacecapShared.ps1"

$TaskName = 'Pacecap'
# The task's folder and files: Administrators own them, only SYSTEM and
# Administrators may use them (so no one else can run the task's Pacecap.exe
# and have a change left alone), and nothing is inherited, so no entry for
# their creator either, whoever the system's policy makes owner.
$TaskSecurity = @{ Owner = 'S-1-5-32-544'; Protected = $true
    Entries = @(@{ Sid = 'S-1-5-18'; Mask = 0x1F01FF }, @{ Sid = 'S-1-5-32-544'; Mask = 0x1F01FF }) }
# %ProgramFiles%\Pacecap, made when missing: the same, and Users may read and run.
$FolderSecurity = @{ Owner = 'S-1-5-32-544'; Protected = $true
    Entries = $TaskSecurity.Entries + @(@{ Sid = 'S-1-5-32-545'; Mask = 0x1200A9 }) }

# --- Changes to Windows: each small function makes one, so tests stand in for them.

# Security as Read-Security gives it, in the form Windows takes.
function ConvertTo-Sddl($Security, [bool]$Container) {
    $inherit = if ($Container) { 'OICI' } else { '' }
    "O:$($Security.Owner)D:$(if ($Security.Protected) { 'P' })" +
        -join @(foreach ($entry in $Security.Entries) { "(A;$inherit;0x{0:X};;;$($entry.Sid))" -f $entry.Mask })
}

# Makes a folder with its security set as it is created, so that no one
# else ever holds a right on it.
function New-SecureFolder([string]$Path, $Security) {
    $acl = New-Object Security.AccessControl.DirectorySecurity
    $acl.SetSecurityDescriptorSddlForm((ConvertTo-Sddl $Security $true))
    [IO.Directory]::CreateDirectory($Path, $acl) | Out-Null
}

# Writes a new file with its security set as it is created.
function Write-SecureFile([string]$Path, [byte[]]$Bytes, $Security) {
    $acl = New-Object Security.AccessControl.FileSecurity
    $acl.SetSecurityDescriptorSddlForm((ConvertTo-Sddl $Security $false))
    $stream = [IO.File]::Create($Path, 4096, [IO.FileOptions]::None, $acl)
    try { $stream.Write($Bytes, 0, $Bytes.Length) } finally { $stream.Dispose() }
}

function Read-Bytes([string]$Path) { [IO.File]::ReadAllBytes($Path) }

# The folder $Path and everything in it, each as Path and Attributes, every
# folder before what it holds; a link is listed, never followed.
function Read-Tree([string]$Path) {
    $pending = New-Object Collections.Generic.Stack[string]
    $pending.Push($Path)
    while ($pending.Count) {
        $item = $pending.Pop()
        $attributes = [int][IO.File]::GetAttributes($item)
        @{ Path = $item; Attributes = $attributes }
        if (($attributes -band 0x10) -and -not ($attributes -band 0x400)) {
            foreach ($entry in [IO.Directory]::GetFileSystemEntries($item)) { $pending.Push($entry) }
        }
    }
}

# Deletes one file, or one empty folder: without recursion a folder that is
# a link is removed as a link, never what it leads to.
function Remove-Entry([string]$Path, [bool]$Folder) {
    if ($Folder) { [IO.Directory]::Delete($Path, $false) }
    else { [IO.File]::SetAttributes($Path, 'Normal'); [IO.File]::Delete($Path) }
}

# Renames a folder in place.
function Move-Folder([string]$From, [string]$To) { [IO.Directory]::Move($From, $To) }

# Removes a folder and all in it without following any link (Remove-Item
# -Recurse of Windows PowerShell follows them): everything is listed first,
# and a link anywhere, which this never makes, stops it before anything is
# deleted. A task instance just stopped may hold a file for a moment
# longer, so each deletion is tried a few times, a second apart.
function Remove-Folder([string]$Path) {
    $entries = @(Read-Tree $Path)
    $link = Find-Link $entries
    if ($link) { throw "$link is a link that this did not make; nothing removed" }
    [array]::Reverse($entries)
    foreach ($entry in $entries) { Invoke-Retried { Remove-Entry $entry.Path (($entry.Attributes -band 0x10) -ne 0) } }
}

# Runs $Step, up to five times a second apart while it throws.
function Invoke-Retried([scriptblock]$Step) {
    for ($try = 1; ; $try++) {
        try { & $Step; return } catch { if ($try -ge 5) { throw }; Start-Sleep -Seconds 1 }
    }
}

# Removes the task's folders, and %ProgramFiles%\Pacecap when that leaves it empty.
function Remove-TaskFiles([string]$Folder) {
    foreach ($name in 'Task', 'Task.new', 'Task.old') {
        if ($null -ne (Read-Attributes "$Folder\$name")) { Remove-Folder "$Folder\$name" }
    }
    if ($null -ne (Read-Attributes $Folder) -and @(Read-Tree $Folder).Count -eq 1) { Remove-Folder $Folder }
}

# A running instance holds the task's files open. Only the task in the root
# folder, where Register-Task puts it: a task of the same name in another
# folder is someone else's.
function Stop-Task {
    if (Get-ScheduledTask -TaskPath '\' -TaskName $TaskName -ErrorAction SilentlyContinue) {
        Stop-ScheduledTask -TaskPath '\' -TaskName $TaskName -ErrorAction SilentlyContinue
    }
}

function Unregister-Task {
    if (Get-ScheduledTask -TaskPath '\' -TaskName $TaskName -ErrorAction SilentlyContinue) {
        Stop-Task
        Unregister-ScheduledTask -TaskPath '\' -TaskName $TaskName -Confirm:$false -ErrorAction Stop
    }
}

function New-EventTrigger([string]$Subscription, [string]$Delay) {
    $class = Get-CimClass -ClassName MSFT_TaskEventTrigger -Namespace Root/Microsoft/Windows/TaskScheduler
    $trigger = New-CimInstance -CimClass $class -ClientOnly
    $trigger.Enabled = $true
    $trigger.Subscription = $Subscription
    $trigger.Delay = $Delay
    $trigger
}

# Registers the task that Get-TaskDefinition describes.
function Register-Task($Definition) {
    $triggers = @(foreach ($trigger in $Definition.Triggers) {
        if ($trigger.AtLogOn) { New-ScheduledTaskTrigger -AtLogOn } else { New-EventTrigger $trigger.Subscription $trigger.Delay }
    })
    $action = $Definition.Action
    $principal = $Definition.Principal
    $settings = $Definition.Settings
    Register-ScheduledTask -TaskPath '\' -TaskName $TaskName -Action (New-ScheduledTaskAction @action) -Trigger $triggers `
        -Principal (New-ScheduledTaskPrincipal @principal) -Settings (New-ScheduledTaskSettingsSet @settings) `
        -Description $Definition.Description -Force -ErrorAction Stop | Out-Null
}

# --- Decisions

# An XPath string literal of $Text. XPath 1.0 has no escapes: a text with
# an apostrophe goes in double quotes (a Windows path never holds one).
function ConvertTo-XPathString([string]$Text) {
    if (-not $Text.Contains("'")) { return "'$Text'" }
    if (-not $Text.Contains('"')) { return "`"$Text`"" }
    throw "$Text holds both kinds of quote"
}

# An event-log query for events of the System log, each of $Events given as
# 'Provider=Id'; $Except names a process whose events are left out. Each
# XPath is escaped as the XML text it is.
function New-EventQuery([string[]]$Events, [string]$Except = '') {
    $select = -join @(foreach ($one in $Events) {
        $provider, $id = $one.Split('=')
        "<Select Path=`"System`">$([Security.SecurityElement]::Escape("*[System[Provider[@Name='$provider'] and EventID=$id]]"))</Select>"
    })
    $suppress = if ($Except) {
        $xpath = "*[EventData[Data[@Name='ProcessPath']=$(ConvertTo-XPathString $Except)]]"
        "<Suppress Path=`"System`">$([Security.SecurityElement]::Escape($xpath))</Suppress>"
    }
    "<QueryList><Query Id=`"0`" Path=`"System`">$select$suppress</Query></QueryList>"
}

# The task, as data: it runs the script in $Folder with the Pacecap.exe
# there, in the Windows PowerShell of the system folder $SystemDirectory, as
# SYSTEM, and leaves out the scheme changes of that copy alone.
function Get-TaskDefinition([string]$Folder, [string]$SystemDirectory, [int]$PluggedIn, [int]$OnBattery) {
    $exe = "$Folder\Pacecap.exe"
    $resume = 'Microsoft-Windows-Power-Troubleshooter=1', 'Microsoft-Windows-Kernel-Power=107',
        'Microsoft-Windows-Kernel-Power=507'
    @{
        Triggers = @(
            @{ AtLogOn = $true }
            # The delay lets whatever resets the values on resume or with a new scheme finish first.
            @{ Subscription = New-EventQuery $resume; Delay = 'PT10S' }
            @{ Subscription = New-EventQuery 'Microsoft-Windows-UserModePowerService=12' $exe; Delay = 'PT10S' }
        )
        # PowerShell by its full path: nothing that runs as SYSTEM is looked up on the PATH.
        Action = @{ Execute = "$SystemDirectory\WindowsPowerShell\v1.0\powershell.exe"
            Argument = "-NoProfile -NonInteractive -ExecutionPolicy Bypass -File `"$Folder\Remediate-Pacecap.ps1`" " +
                "-Pacecap `"$exe`" -PluggedIn $PluggedIn -OnBattery $OnBattery" }
        Principal = @{ UserId = 'S-1-5-18'; LogonType = 'ServiceAccount'; RunLevel = 'Highest' }
        # A cold start at logon on a slow disk may take most of a minute; a
        # kill halfway could leave one kind of core set and not the other.
        Settings = @{ AllowStartIfOnBatteries = $true; DontStopIfGoingOnBatteries = $true; StartWhenAvailable = $true
            MultipleInstances = 'IgnoreNew'; ExecutionTimeLimit = [TimeSpan]::FromMinutes(5) }
        Description = "Sets the maximum processor state to $PluggedIn% plugged in and $OnBattery% on battery (0: unchanged)."
    }
}

# A script with the shared part put in place of the line that dot-sources
# it, byte for byte as the release builds it; a script without that line
# stands alone already and is left as it is.
function ConvertTo-Standalone([string]$Source, [string]$Shared) {
    [regex]::Replace($Source, '(?m)^' + [regex]::Escape('. "$PSScriptRoot\shared\PacecapShared.ps1"') + '\r?\n', { $Shared })
}

# The bytes of the script the task runs, standing alone (Bytes), or the first
# line to show (Text): Remediate-Pacecap.ps1 beside this script, with the
# shared part put in from $SharedFile where it takes it in. That file is
# checked like the script; a script that stands alone passes none, so it
# never reads one.
function Get-TaskScript([string]$ScriptRoot, [string]$SharedFile) {
    $script = "$ScriptRoot\Remediate-Pacecap.ps1"
    if ($null -eq (Read-Attributes $script)) { return @{ Text = "Remediate-Pacecap.ps1 was not found beside this script ($script)" } }
    $latin1 = [Text.Encoding]::GetEncoding(28591)  # byte for byte
    $shared = ''
    foreach ($path in @($script) + @($SharedFile | Where-Object { $_ })) {
        $why = Get-Exposure $path
        if ($why) { return @{ Text = "Refused $path, as this runs with administrator rights and $why" } }
        $text = $latin1.GetString((Read-Bytes $path))
        if ($path -eq $script) { $source = $text } else { $shared = $text }
    }
    $alone = ConvertTo-Standalone $source $shared
    if ($alone -ne $source -and -not $shared) {
        return @{ Text = "Remediate-Pacecap.ps1 beside this script ($script) does not stand alone: use the released one" }
    }
    @{ Bytes = $latin1.GetBytes($alone) }
}

# Why the folders $Folders, where they exist, may not be written into or
# deleted from, or nothing. Only those that standard users cannot change are:
# in one they can, Task may be a link that leads the deletion elsewhere.
function Get-FolderRefusal([string[]]$Folders, [string]$ProgramFiles) {
    foreach ($existing in $Folders) {
        $why = if ($null -ne (Read-Attributes $existing)) { Get-Exposure $existing -Folder }
        if ($why) { return "Refused $existing, as this runs with administrator rights and $why. $(Get-Advice $ProgramFiles)" }
    }
}

# The first of $Entries (as Read-Tree gives them) that is a link, or nothing.
function Find-Link($Entries) {
    foreach ($entry in $Entries) { if ($entry.Attributes -band 0x400) { return $entry.Path } }
}

# Why the folders $Folders, where they exist, may not be removed, or
# nothing: a link anywhere in them, which this never makes.
function Get-LinkRefusal([string[]]$Folders) {
    foreach ($existing in $Folders) {
        $link = if ($null -ne (Read-Attributes $existing)) { Find-Link @(Read-Tree $existing) }
        if ($link) { return "Refused $link, as it is a link that this did not make" }
    }
}

# The outcome of a registration: the Text to show and the exit Code.
function Invoke-Register([int]$PluggedIn, [int]$OnBattery, [string]$Pacecap, [bool]$Remove, $Bound) {
    # In 32-bit PowerShell %ProgramFiles% is the x86 folder and System32 is
    # redirected; PowerShell 7 lacks what sets security as a file is made:
    # run again in the 64-bit Windows PowerShell, with the same parameters.
    if ($relaunch = Start-Relaunch $PSCommandPath $Bound $true 6) { return $relaunch }
    $account = try { Read-Account } catch { $null }
    if (-not (Test-Administrator $account)) {
        return @{ Code = 5; Text = 'Run this from an administrator prompt: it registers a task that runs as SYSTEM; nothing changed' }
    }
    # Both folders as Windows names them, never as the environment does.
    try { $system, $programFiles = (Get-SystemFolder 'System'), (Get-SystemFolder 'ProgramFiles') }
    catch { return @{ Code = 4; Text = "Not run, as $($_.Exception.Message); nothing changed" } }
    $folder = "$programFiles\Pacecap"
    $taskFolder, $newFolder, $oldFolder = "$folder\Task", "$folder\Task.new", "$folder\Task.old"
    $ours = $taskFolder, $newFolder, $oldFolder
    if ($Remove) {
        $refusal = Get-FolderRefusal (@($folder) + $ours) $programFiles
        if (-not $refusal) { $refusal = Get-LinkRefusal $ours }
        if ($refusal) { return @{ Code = 4; Text = "$refusal; nothing changed" } }
        try {
            Unregister-Task
            Remove-TaskFiles $folder
        } catch {
            return @{ Code = 6; Text = "The task could not be removed: $($_.Exception.Message)" }
        }
        return @{ Code = 0; Text = "Task $TaskName removed; the limits stay as they are (Pacecap 100 100 lifts them)" }
    }
    $invalid = Find-InvalidValue $PluggedIn, $OnBattery
    if ($null -ne $invalid) { return @{ Code = 1; Text = "Invalid value $invalid`: each must lie between 0 and 100; nothing changed" } }
    $found = Resolve-Pacecap $Pacecap $PSScriptRoot
    if (-not $found.Exe) { return @{ Code = 4; Text = "$($found.Text); nothing changed" } }
    # The shared part comes from a file of its own only where this script
    # does not stand alone.
    $shared = ${function:Get-Exposure}.File
    $script = Get-TaskScript $PSScriptRoot $(if ((Split-Path -Leaf $shared) -eq 'PacecapShared.ps1') { $shared })
    if (-not $script.Bytes) { return @{ Code = 4; Text = "$($script.Text); nothing changed" } }
    $refusal = Get-FolderRefusal (@($folder) + $ours) $programFiles
    if (-not $refusal) { $refusal = Get-LinkRefusal $ours }
    if ($refusal) { return @{ Code = 4; Text = "$refusal; nothing changed" } }
    try {
        # Read before anything changes: -Pacecap may name the task's own copy.
        $bytes = Read-Bytes $found.Exe
    } catch {
        return @{ Code = 4; Text = "$($found.Exe) could not be read: $($_.Exception.Message); nothing changed" }
    }
    # The new copy is made whole beside the old one, then put in its place,
    # and the task is registered over the old one: whichever step fails, the
    # old task or the old copy is still there.
    try {
        if ($null -eq (Read-Attributes $folder)) { New-SecureFolder $folder $FolderSecurity }
        foreach ($stale in $newFolder, $oldFolder) { if ($null -ne (Read-Attributes $stale)) { Remove-Folder $stale } }
        # Made anew, so that everything in it has the security set as it was made.
        New-SecureFolder $newFolder $TaskSecurity
        Write-SecureFile "$newFolder\Pacecap.exe" $bytes $TaskSecurity
        Write-SecureFile "$newFolder\Remediate-Pacecap.ps1" $script.Bytes $TaskSecurity
        # Checked again as SYSTEM will check it.
        foreach ($path in "$newFolder\Pacecap.exe", "$newFolder\Remediate-Pacecap.ps1") {
            $why = Get-Exposure $path
            if ($why) { return @{ Code = 4; Text = "Refused $path, as this runs with administrator rights and $why; the task is left as it was" } }
        }
        Stop-Task
        $moved = $null -ne (Read-Attributes $taskFolder)
        if ($moved) { Invoke-Retried { Move-Folder $taskFolder $oldFolder } }
        try { Invoke-Retried { Move-Folder $newFolder $taskFolder } }
        catch { if ($moved) { Move-Folder $oldFolder $taskFolder }; throw }
        Register-Task (Get-TaskDefinition $taskFolder $system $PluggedIn $OnBattery)
    } catch {
        return @{ Code = 6; Text = "The task could not be registered: $($_.Exception.Message); the task is left as it was" }
    }
    $left = try { if ($null -ne (Read-Attributes $oldFolder)) { Remove-Folder $oldFolder }; '' } catch { "; $oldFolder is left: $($_.Exception.Message)" }
    @{ Code = 0; Text = "Task $TaskName registered: $taskFolder\Remediate-Pacecap.ps1 -PluggedIn $PluggedIn -OnBattery $OnBattery, " +
        "as SYSTEM, at logon, on resume and when the power scheme changes$left" }
}

# Dot-sourced (as the tests do), it only defines the functions above.
if ($MyInvocation.InvocationName -ne '.') {
    $outcome = Invoke-Register $PluggedIn $OnBattery $Pacecap $Remove $PSBoundParameters
    Write-Output $outcome.Text
    exit $outcome.Code
}
