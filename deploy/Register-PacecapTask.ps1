<#
.SYNOPSIS
    Keeps the maximum processor state limits set: registers one scheduled task
    that runs PacecapKeep.exe as SYSTEM, with no window, at every logon, on
    every resume from sleep or Modern Standby and whenever the active power
    scheme is changed.
.DESCRIPTION
    Registers the task "Pacecap" (in the root folder) from its one
    definition, shared\PacecapTask.xml (the released script carries its
    text), with the keeper's path and the values filled in: the task runs
    "PacecapKeep.exe PluggedIn OnBattery" directly, as SYSTEM. The keeper
    writes only the values that differ and applies the scheme only after a
    write; a value of 0 leaves that limit as it is. The triggers:
      - at the logon of any user;
      - a resume, from the System log: Microsoft-Windows-Power-Troubleshooter
        event 1 (the system has resumed from a low-power state), or
        Microsoft-Windows-Kernel-Power event 107 (resumed from sleep) or 507
        (left Modern Standby, where event 1 may never come);
      - System log, Microsoft-Windows-UserModePowerService, event 12 (a
        process has set the active power scheme), except when the task's
        own keeper set it, which would start the task again.
    The keeper: where Pacecap's package is installed, its
    %ProgramFiles%\Pacecap\PacecapKeep.exe, run where it is. Elsewhere the
    file -Keeper names (the task's own copy too) is copied into
    "%ProgramFiles%\Pacecap\Task", a folder of the task's own that only
    SYSTEM and administrators can use. Either is taken only when it passes
    the checks the roll-out scripts apply to what they start as SYSTEM (see
    Detect-Pacecap.ps1), and %ProgramFiles%\Pacecap must be out of standard
    users' reach where it exists already. A keeper path holding & < > ' or "
    is refused: the task's definition names it in XML and in an XPath
    string, where each would need another escape.
    Run it again to change the values, whether this script or the package
    registered the task: the new task replaces the old one, and a new copy
    is written whole beside the old one, then takes its name in one rename
    that replaces it, so the path the task names always holds a whole
    keeper. -Remove removes the task, whichever registered it (no task is
    no error), and the Task folder, deleting each entry alone and never
    following a link: a link anywhere in it (which this never makes) is
    refused, nothing changed. The limits stay as they are.
    Needs an administrator prompt; from PowerShell 7 it runs itself again in
    Windows PowerShell. %ProgramFiles% is the folder that the machine's
    registry names (ProgramFilesDir, in its 64-bit view): never a folder
    from the environment, which an administrator's unelevated programs can
    set. When it cannot be read, nothing changes.
    Exit codes: 0 done; 1 invalid value, nothing changed; 4 PacecapKeep.exe,
    the task's definition or %ProgramFiles%\Pacecap not found, refused or
    not read, a keeper path the definition cannot hold, or a link in the
    task's folder, nothing changed (or the copy refused, the task left as
    it was); 5 not run as administrator, nothing changed; 6 the task could
    not be registered or removed, or the run in Windows PowerShell was
    stopped after 240 seconds.
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Register-PacecapTask.ps1 -PluggedIn 99 -OnBattery 80
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Register-PacecapTask.ps1 -PluggedIn 99 -OnBattery 80 -Keeper C:\Kit\PacecapKeep.exe
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Register-PacecapTask.ps1 -Remove
#>
param(
    # The wanted values: edit these defaults where the tool passes no parameters.
    [int]$PluggedIn = 99,
    [int]$OnBattery = 80,
    # PacecapKeep.exe to copy, where the package's is not installed.
    [string]$Keeper = '',
    [switch]$Remove
)

. "$PSScriptRoot\shared\PacecapShared.ps1"

# The task's definition. Released, the script carries the text of
# shared\PacecapTask.xml here, byte for byte; from deploy/ it is read from there.
$TaskXml = $null

$TaskName = 'Pacecap'
# The task's folder and its copy: Administrators own them, only SYSTEM and
# Administrators may use them (so no one else can run the task's keeper and
# have a change left alone), and nothing is inherited, so no entry for
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

# Puts the file $From in the place of the file $To by one rename that
# replaces it: MoveFileEx with MOVEFILE_REPLACE_EXISTING, which Visual
# Basic's FileSystem.MoveFile calls when told to overwrite (.NET Framework's
# File.Move cannot). Within one folder that is one change of a name: $To
# names the old file or the new one at every instant, never none.
function Move-Replacing([string]$From, [string]$To) {
    Add-Type -AssemblyName Microsoft.VisualBasic
    [Microsoft.VisualBasic.FileIO.FileSystem]::MoveFile($From, $To, $true)
}

# Removes the task's folder, and %ProgramFiles%\Pacecap when that leaves it empty.
function Remove-TaskFiles([string]$Folder) {
    if ($null -ne (Read-Attributes "$Folder\Task")) { Remove-Folder "$Folder\Task" }
    if ($null -ne (Read-Attributes $Folder) -and @(Read-Tree $Folder).Count -eq 1) { Remove-Folder $Folder }
}

# Registers the task that $Xml defines, over the one there: its principal,
# SYSTEM, is the one Windows takes when no -User is given, and a password
# is never needed for it.
function Register-Task([string]$Xml) {
    Register-ScheduledTask -TaskPath '\' -TaskName $TaskName -Xml $Xml -Force -ErrorAction Stop | Out-Null
}

# --- Decisions

# The task's definition: the text of $File, checked first like what SYSTEM
# runs, as it says what SYSTEM runs; or the text this script carries where
# it stands alone, and then no file is read. Xml, or Text, the first line to show.
function Get-TaskTemplate([string]$File) {
    if ($null -ne $TaskXml) { return @{ Xml = $TaskXml } }
    $why = Get-Exposure $File
    if ($why) { return @{ Text = "Refused $File, as this runs with administrator rights and $why" } }
    @{ Xml = [Text.Encoding]::UTF8.GetString((Read-Bytes $File)) }
}

# The definition $Template with the keeper's path and the values put in.
# The path stands in XML text, in an event query that is XML text within
# that, and in an XPath string in apostrophes, where & < > ' and " each
# need another escape: such a path throws, so one plain substitution is
# right in every place. The path goes in last: braces are allowed in a
# path, and nothing in it may be taken for a placeholder.
function Get-TaskXml([string]$Template, [string]$Keeper, [int]$PluggedIn, [int]$OnBattery) {
    if ($Keeper -match "[&<>'`"]") { throw "its path holds one of & < > ' `", which the task's definition cannot hold as it is" }
    $Template.Replace('{PLUGGEDIN}', "$PluggedIn").Replace('{ONBATTERY}', "$OnBattery").Replace('{KEEPER}', $Keeper)
}

# The keeper the task is to run: the package's, PacecapKeep.exe in
# %ProgramFiles%\Pacecap, in place (InPlace) where it is there and passes
# the checks; else $Given, to be copied, where it passes them. Exe, or
# Text, the first line to show.
function Resolve-Keeper([string]$Given, [string]$ProgramFiles) {
    $installed = "$ProgramFiles\Pacecap\PacecapKeep.exe"
    $refusals = @()
    foreach ($candidate in @($installed) + @($Given | Where-Object { $_ -and $_ -ne $installed })) {
        $found = Find-Pacecap $candidate @() $true
        if ($found.Exe) { return @{ Exe = $found.Exe; InPlace = $found.Exe -eq $installed } }
        $refusals += $found.Refusals
    }
    if ($refusals) { return @{ Text = "$($refusals -join '; '). $(Get-Advice $ProgramFiles)" } }
    @{ Text = 'PacecapKeep.exe was not found: install the package, or name PacecapKeep.exe with -Keeper' }
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

# Why the folder $Folder, where it exists, may not be removed, or nothing:
# a link anywhere in it, which this never makes.
function Get-LinkRefusal([string]$Folder) {
    $link = if ($null -ne (Read-Attributes $Folder)) { Find-Link @(Read-Tree $Folder) }
    if ($link) { "Refused $link, as it is a link that this did not make" }
}

# Copies the keeper's $Bytes to $Keeper in the task's folder: written whole
# beside it, checked as SYSTEM will check it, then put in its place by one
# rename, so the path the task names never lacks a whole keeper. The
# refusal of the copy, or nothing; throws when a step fails.
function Copy-Keeper([byte[]]$Bytes, [string]$Keeper) {
    $new = "$Keeper.new"
    # Left by a run that was stopped: made anew, so that it has the security set as it was made.
    if ($null -ne (Read-Attributes $new)) { Remove-Entry $new $false }
    Write-SecureFile $new $Bytes $TaskSecurity
    $why = Get-Exposure $new
    if ($why) { return "Refused $new, as this runs with administrator rights and $why" }
    # A running keeper cannot be replaced.
    Stop-Task
    Invoke-Retried { Move-Replacing $new $Keeper }
}

# The outcome of a registration: the Text to show and the exit Code.
function Invoke-Register([int]$PluggedIn, [int]$OnBattery, [string]$Keeper, [bool]$Remove, $Bound) {
    # In 32-bit PowerShell %ProgramFiles% is the x86 folder and System32 is
    # redirected; PowerShell 7 lacks what sets security as a file is made:
    # run again in the 64-bit Windows PowerShell, with the same parameters.
    if ($relaunch = Start-Relaunch $PSCommandPath $Bound $true 6) { return $relaunch }
    $account = try { Read-Account } catch { $null }
    if (-not (Test-Administrator $account)) {
        return @{ Code = 5; Text = 'Run this from an administrator prompt: it registers a task that runs as SYSTEM; nothing changed' }
    }
    # As Windows names it, never as the environment does.
    try { $programFiles = Get-SystemFolder 'ProgramFiles' }
    catch { return @{ Code = 4; Text = "Not run, as $($_.Exception.Message); nothing changed" } }
    $folder = "$programFiles\Pacecap"
    $taskFolder = "$folder\Task"
    $refusal = Get-FolderRefusal $folder, $taskFolder $programFiles
    if (-not $refusal) { $refusal = Get-LinkRefusal $taskFolder }
    if ($Remove) {
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
    $found = Resolve-Keeper $Keeper $programFiles
    if (-not $found.Exe) { return @{ Code = 4; Text = "$($found.Text); nothing changed" } }
    $path = if ($found.InPlace) { $found.Exe } else { "$taskFolder\PacecapKeep.exe" }
    $template = Get-TaskTemplate "$PSScriptRoot\shared\PacecapTask.xml"
    if (-not $template.Xml) { return @{ Code = 4; Text = "$($template.Text); nothing changed" } }
    try { $xml = Get-TaskXml $template.Xml $path $PluggedIn $OnBattery }
    catch { return @{ Code = 4; Text = "Refused the keeper $path, as $($_.Exception.Message); nothing changed" } }
    if ($refusal) { return @{ Code = 4; Text = "$refusal; nothing changed" } }
    # Read before anything changes: -Keeper may name the task's own copy.
    if (-not $found.InPlace) {
        try { $bytes = Read-Bytes $found.Exe }
        catch { return @{ Code = 4; Text = "$($found.Exe) could not be read: $($_.Exception.Message); nothing changed" } }
    }
    # Whichever step fails, the old task and the keeper it names are still there.
    try {
        if (-not $found.InPlace) {
            if ($null -eq (Read-Attributes $folder)) { New-SecureFolder $folder $FolderSecurity }
            if ($null -eq (Read-Attributes $taskFolder)) { New-SecureFolder $taskFolder $TaskSecurity }
            $refusal = Copy-Keeper $bytes $path
            if ($refusal) { return @{ Code = 4; Text = "$refusal; the task is left as it was" } }
        }
        Register-Task $xml
    } catch {
        return @{ Code = 6; Text = "The task could not be registered: $($_.Exception.Message); the task is left as it was" }
    }
    # The package's keeper runs now: a copy of this script's is left over.
    $left = try { if ($found.InPlace -and $null -ne (Read-Attributes $taskFolder)) { Remove-Folder $taskFolder }; '' }
        catch { "; $taskFolder is left: $($_.Exception.Message)" }
    @{ Code = 0; Text = "Task $TaskName registered: $path $PluggedIn $OnBattery, as SYSTEM, at logon, on resume and when the power scheme changes$left" }
}

# Dot-sourced (as the tests do), it only defines the functions above.
if ($MyInvocation.InvocationName -ne '.') {
    $outcome = Invoke-Register $PluggedIn $OnBattery $Keeper $Remove $PSBoundParameters
    Write-Output $outcome.Text
    exit $outcome.Code
}
