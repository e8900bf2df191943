# What the roll-out scripts share: the facts they read from Windows, the
# trust check, the finder, the compliance check and the 32-bit relaunch.
# Each script in deploy/ dot-sources this file; the release puts the file's
# text in place of that line, so that each released script stands alone.
# Loading it defines functions and constants and touches no Windows API.

# --- Facts from Windows: each small function reads one, so tests stand in for them.

# The owner and the DACL of an item: SIDs, rights masks and flags. Entries is
# $null for a null DACL, which lets anyone do anything.
function Read-Security([string]$Path) {
    $acl = Get-Acl -LiteralPath $Path -ErrorAction Stop
    $sd = New-Object Security.AccessControl.RawSecurityDescriptor $acl.GetSecurityDescriptorSddlForm('Owner, Access')
    $entries = if ($null -ne $sd.DiscretionaryAcl) {
        , @(foreach ($ace in $sd.DiscretionaryAcl) {
            @{ Sid = "$($ace.SecurityIdentifier)"; Mask = [int]$ace.AccessMask
                Deny = "$($ace.AceQualifier)" -ne 'AccessAllowed'
                InheritOnly = ([int]$ace.AceFlags -band 8) -ne 0 }  # 8: INHERIT_ONLY_ACE
        })
    }
    @{ Owner = "$($sd.Owner)"; Entries = $entries }
}

# An item's attributes ([IO.FileAttributes] as a number), $null when there is none.
function Read-Attributes([string]$Path) {
    $item = Get-Item -LiteralPath $Path -Force -ErrorAction SilentlyContinue
    if ($item) { [int]$item.Attributes } else { $null }
}

# The type and file system of the drive with letter $Letter, and whether a
# volume is mounted at that letter (Volume): a SUBST letter leads to a
# folder, is no volume's own and reports the type of the drive it leads to.
# Win32_Volume lists the local volumes, each with the letter it has. The
# query runs in a Windows PowerShell of its own that is stopped at its bound:
# -OperationTimeoutSec bounds the query, not the connection to a WMI service
# that hangs. Its command line reads as it runs: the query in double quotes,
# with none inside. Throws when the letter is not one, or the count is not read.
function Read-Drive([string]$Letter) {
    if ($Letter -notmatch '^[A-Za-z]$') { throw "not a drive letter: '$Letter'" }
    $drive = New-Object IO.DriveInfo $Letter
    $query = "@(Get-CimInstance -ClassName Win32_Volume -Filter 'DriveLetter = ''$($Letter.ToUpper()):''' " +
        '-OperationTimeoutSec 30 -ErrorAction Stop).Count'
    $ran = Invoke-Program "$(Get-SystemFolder 'System')\WindowsPowerShell\v1.0\powershell.exe" "-NoProfile -NonInteractive -Command `"$query`"" 60
    if ($ran.Stopped -or $ran.Code -ne 0 -or "$($ran.Output)".Trim() -notmatch '^\d+$') {
        throw "the volumes at ${Letter}: could not be read: $($ran.Stopped)$($ran.Code)"
    }
    @{ Type = "$($drive.DriveType)"; Format = $drive.DriveFormat; Volume = [int]"$($ran.Output)".Trim() -gt 0 }
}

# The account this runs as, from its token: the user's SID, the SIDs of all
# its groups (whoami lists those for deny only and the disabled ones too)
# and its integrity level (the last part of its mandatory label S-1-16-N),
# $null when it shows none. Throws when the token cannot be read.
function Read-Account {
    $user = Read-UserSid
    $ran = Invoke-Program "$(Get-SystemFolder 'System')\whoami.exe" '/groups /fo csv /nh' 30
    if ($ran.Stopped -or $ran.Code -ne 0) { throw "whoami /groups failed: $($ran.Stopped)$($ran.Code)" }
    $groups = @($ran.Output -split "`r?`n" | Where-Object { $_ } | ConvertFrom-Csv -Header 'Name', 'Type', 'Sid', 'Attributes' | ForEach-Object { $_.Sid })
    $label = @($groups | Where-Object { $_ -match '^S-1-16-\d+$' })
    @{ User = $user; Groups = $groups; Integrity = $(if ($label.Count -eq 1) { [int]$label[0].Substring(7) }) }
}

# The SID of the account this runs as, from its token.
function Read-UserSid { [Security.Principal.WindowsIdentity]::GetCurrent().User.Value }

# The machine's PATH as it is now, not as this process got it.
function Read-MachinePath { [Environment]::GetEnvironmentVariable('Path', 'Machine') }

# The system folder, from GetSystemDirectory: System32, in a 32-bit process
# too (the file system redirector sends what it opens there to SysWOW64).
function Read-SystemDirectory { [Environment]::SystemDirectory }

# Sysnative beside the system folder $SystemDirectory: where a 32-bit
# process on 64-bit Windows finds the 64-bit System32.
function Get-Sysnative([string]$SystemDirectory) {
    $SystemDirectory.Substring(0, $SystemDirectory.LastIndexOf('\')) + '\Sysnative'
}

# Whether this is a 32-bit process on 64-bit Windows: Sysnative shows only
# to such a process. Not [Environment]::Is64BitOperatingSystem:
# IsWow64Process, behind it, is documented to say FALSE for a 32-bit process
# on 64-bit Windows 10 on ARM.
function Read-Wow64([string]$SystemDirectory) {
    -not [Environment]::Is64BitProcess -and [IO.Directory]::Exists((Get-Sysnative $SystemDirectory))
}

# The Program Files folder as the machine names it: ProgramFilesDir of
# HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion, in the registry's 64-bit
# view, with no environment name expanded. Not %ProgramFiles%, which the
# user's own HKCU\Environment overrides in an elevated prompt; nor the
# known-folder API, which gives a 32-bit process the x86 folder.
function Read-ProgramFiles {
    $machine = [Microsoft.Win32.RegistryKey]::OpenBaseKey('LocalMachine', 'Registry64')
    try {
        # A key that is not there comes back $null: the call on it throws.
        $key = $machine.OpenSubKey('SOFTWARE\Microsoft\Windows\CurrentVersion')
        try { $key.GetValue('ProgramFilesDir', $null, 'DoNotExpandEnvironmentNames') } finally { if ($key) { $key.Dispose() } }
    } finally { $machine.Dispose() }
}

# The output and exit code of a run of exactly the file $Exe: no lookup and
# no wildcards, which the call operator of Windows PowerShell would expand.
# The output is a pipe, so nothing waits for a key. A file that cannot be
# started throws. Nothing here waits without end: a run that outlasts
# $Seconds is stopped and comes back with Stopped, the reason, as a run
# that started and may have done part of its work; so does a run whose
# wait or output fails once it has started.
function Invoke-Program([string]$Exe, [string]$Arguments, [int]$Seconds) {
    $start = New-Object Diagnostics.ProcessStartInfo $Exe, $Arguments
    $start.UseShellExecute = $false
    $start.RedirectStandardOutput = $true
    $process = [Diagnostics.Process]::Start($start)
    try {
        # Read while it runs, so that a full pipe never holds it up.
        $reading = $process.StandardOutput.ReadToEndAsync()
        if (-not $process.WaitForExit($Seconds * 1000)) {
            try { $process.Kill() } catch { }
            return @{ Output = ''; Stopped = "it did not end within $Seconds seconds and was stopped" }
        }
        # Whatever it started may hold the pipe open after it ended.
        if (-not $reading.Wait(5000)) { return @{ Output = ''; Code = $process.ExitCode; Stopped = 'its output did not end with it' } }
        @{ Output = $reading.Result; Code = $process.ExitCode }
    } catch {
        try { $process.Kill() } catch { }
        @{ Output = ''; Stopped = "it was stopped, as waiting for it or reading its output failed ($($_.Exception.Message))" }
    }
}

# A run of Pacecap, as Invoke-Program: throws when it could not be started,
# comes back with Stopped when it was stopped after it started.
function Invoke-Pacecap([string]$Exe, [string]$Arguments, [int]$Seconds = 60) { Invoke-Program $Exe $Arguments $Seconds }

# --- Who gets the checks

# Every run that is not provably a standard user's own. Standard: the user
# is a local, domain or Microsoft Entra account (S-1-5-21-..., S-1-12-1-...),
# no group of the token, enabled or for deny only, is one of $PrivilegedGroups
# or a service's (S-1-5-80-...), and its integrity level was read and is
# below High (0x3000). So SYSTEM, LOCAL SERVICE, NETWORK SERVICE and the
# service accounts fail the first; an administrator (elevated or not), a
# Backup Operator or a service the second; an elevated token the third; and
# a token that cannot be read all three.
$PrivilegedGroups = 'S-1-5-32-544', 'S-1-5-32-551', 'S-1-5-32-549', 'S-1-5-6', 'S-1-5-18', 'S-1-5-19', 'S-1-5-20'
function Test-Elevated($Account) {
    if ("$($Account.User)" -notmatch '^S-1-(5-21|12-1)(-\d+)+$' -or $null -eq $Account.Groups -or
        $null -eq $Account.Integrity -or $Account.Integrity -ge 0x3000) { return $true }
    foreach ($sid in $Account.Groups) { if ($PrivilegedGroups -contains $sid -or $sid -like 'S-1-5-80-*') { return $true } }
    $false
}

# Whether this run may change %ProgramFiles%: SYSTEM, or Administrators in a
# token of High integrity or above (an elevated one).
function Test-Administrator($Account) {
    $Account.User -eq 'S-1-5-18' -or (@($Account.Groups) -contains 'S-1-5-32-544' -and $Account.Integrity -ge 0x3000)
}

# Test-Elevated for this run; a token that cannot be read gets the checks.
function Test-RunElevated {
    try { Test-Elevated (Read-Account) } catch { $true }
}

# --- Trust

# Who may hold rights over what runs as SYSTEM: SYSTEM, Administrators and
# TrustedInstaller. Not the account running this unless it is SYSTEM: an
# administrator's own SID is in every unelevated process of that user too.
# CREATOR OWNER and OWNER RIGHTS entries grant nothing of their own.
$TrustedSids = 'S-1-5-18', 'S-1-5-32-544', 'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464'
$PlaceholderSids = 'S-1-3-0', 'S-1-3-4'
# The rights looked for: 0x2 write data (in a folder: create files), 0x4
# append (create folders), 0x40 delete what a folder holds, 0x100 write
# attributes (enough to make a file, or an emptied folder, a reparse
# point: a junction that would lead a removal elsewhere), 0x10000 delete,
# 0x40000 change permissions, 0x80000 take ownership, and the generic all
# (0x10000000) and write (0x40000000).
$FileMask = 0x500D0106
$FolderMask = 0x500D0146
$AncestorMask = 0x100D0040

# The rights that anyone but the trusted holds on an item itself, given as
# Read-Security gives it; all of them (-1) when anyone else owns it or it
# has a null DACL. Deny entries take nothing away, as a user may hold the
# right through another group; inherit-only ones apply to the items below.
function Get-UntrustedRights($Security) {
    if ($TrustedSids -notcontains $Security.Owner -or $null -eq $Security.Entries) { return -1 }
    $rights = 0
    foreach ($entry in $Security.Entries) {
        if (-not $entry.Deny -and -not $entry.InheritOnly -and $TrustedSids -notcontains $entry.Sid -and
            $PlaceholderSids -notcontains $entry.Sid) {
            $rights = $rights -bor $entry.Mask
        }
    }
    $rights
}

# The canonical form of the full path $Path: '/' is a separator too, a run
# of separators is one, '.' and '..' are resolved, and trailing dots and
# spaces are dropped from every name. Windows drops them from the last name
# only (and one dot from the others): a folder name that ends in a space is
# another folder, so any name that differs here is refused, never followed.
function Get-CanonicalPath([string]$Path) {
    $names = New-Object Collections.Generic.List[string]
    foreach ($name in $Path.Substring(3).Replace('/', '\').Split('\')) {
        if ($name -eq '..') { if ($names.Count) { $names.RemoveAt($names.Count - 1) } }
        elseif ($name.TrimEnd('. ')) { $names.Add($name.TrimEnd('. ')) }
    }
    $Path.Substring(0, 2) + '\' + ($names -join '\')
}

# Why the path $Path may not be checked as it is written, or '': each check
# must see exactly the string that is started, in the form Windows opens it,
# so every other form is refused with the form to name instead.
function Get-PathRefusal([string]$Path) {
    if ($Path -match '^[\\/]{2}[?.][\\/]([A-Za-z]:[\\/].*)$') {
        return "its path is a device path (\\?\ or \\.\): name it as $(Get-CanonicalPath $Matches[1])"
    }
    if ($Path -match '^[\\/]{2}') { return 'it is not on a local drive (a UNC path)' }
    if ($Path -notmatch '^[A-Za-z]:[\\/]') { return 'its path is not a full path from a drive letter' }
    if ($Path.IndexOf(':', 2) -ge 0) { return 'its path names an alternate data stream (a colon after the drive)' }
    if ($Path -match '[\[\]*?]') { return 'its path holds a wildcard character' }
    # COM and LPT with a superscript 1, 2 or 3 are devices too.
    if ($Path -match '[\\/](CON|PRN|AUX|NUL|(COM|LPT)[0-9\u00B9\u00B2\u00B3]) *(\.[^\\/]*)?(\z|[\\/])') {
        return 'its path names a device (CON, PRN, AUX, NUL, COMn or LPTn)'
    }
    $canonical = Get-CanonicalPath $Path
    if ($canonical -cne $Path) { return "its path is not in canonical form: name it as $canonical" }
    ''
}

# Why standard users could put another file in place of the file $Path (or
# change what the folder $Path holds, with -Folder), or '' when they cannot:
# its path must be in the form Windows opens it; its own rights, its
# folder's and those of every folder above are checked; each must be a plain
# item on a local NTFS or ReFS volume at its own drive letter (a network
# drive's permissions are another machine's; FAT has none; a SUBST letter
# leads to a folder whose ancestors would go unchecked).
function Get-Exposure([string]$Path, [switch]$Folder) {
    try {
        $why = Get-PathRefusal $Path
        if ($why) { return $why }
        $parts = $Path.Split('\')
        $drive = Read-Drive $Path.Substring(0, 1)
        if ($drive.Type -ne 'Fixed' -or @('NTFS', 'ReFS') -notcontains $drive.Format) {
            return 'it is not on a local NTFS or ReFS drive'
        }
        if (-not $drive.Volume) { return "$($Path.Substring(0, 2)) is not a volume's own drive letter (SUBST or mapped): name the path on the volume" }
        for ($at = $parts.Count - 1; $at -ge 0; $at--) {
            $item = ($parts[0..$at] -join '\') + $(if ($at -eq 0) { '\' })
            $mask, $what = switch ($parts.Count - 1 - $at + [int][bool]$Folder) {
                0 { $FileMask, 'standard users can change or delete it' }
                1 { $FolderMask, "standard users can add, change or delete files in $item" }
                default { $AncestorMask, "standard users can delete, rename or take over $item" }
            }
            if ($at -eq 0) { $mask = $mask -band -bnot 0x10000 }  # a drive's root cannot be deleted
            $attributes = Read-Attributes $item
            if ($null -eq $attributes) { return "$item cannot be read" }
            # A link: what it leads to is not what the ACLs here describe.
            if ($attributes -band 0x400) { return "$item is a link" }
            if ((Get-UntrustedRights (Read-Security $item)) -band $mask) { return $what }
        }
        ''
    } catch {
        "its permissions could not be read ($($_.Exception.Message))"
    }
}

# The folder $Name ('System' or 'ProgramFiles') as Windows names it. Throws
# when the read fails or gives anything but a full local path in the form
# Windows opens it: nothing is started, copied or trusted from elsewhere.
function Get-SystemFolder([string]$Name) {
    $folder = try { if ($Name -eq 'System') { Read-SystemDirectory } else { Read-ProgramFiles } } catch { "($($_.Exception.Message))" }
    if ($folder -isnot [string] -or (Get-PathRefusal $folder)) { throw "the $Name folder was not read from Windows as a full local path: '$folder'" }
    $folder
}

# The first line's advice after a refusal, with the commands that hand an
# unzipped installation to Administrators where new items get their creator
# as owner.
function Get-Advice([string]$ProgramFiles) {
    $folder = "$ProgramFiles\Pacecap"
    "Put it in $folder, where only administrators can change it (unzipped there, run from an administrator " +
        "prompt: icacls `"$folder`" /setowner *S-1-5-32-544 /T /C /Q, then icacls `"$folder`" /reset /T /C /Q)"
}

# The first of $Values outside 0 to 100, or $null when all lie within.
function Find-InvalidValue([int[]]$Values) {
    foreach ($value in $Values) { if ($value -lt 0 -or $value -gt 100) { return $value } }
}

# --- The finder

# The folders that a standard user's own run looks in, in order: the
# script's own, then %ProgramFiles%\Pacecap, the machine's PATH as it is
# now, this process's PATH. A relative entry means a different folder to
# each process: left out.
function Get-SearchFolders([string]$ScriptRoot, [string]$ProgramFiles, [string]$MachinePath, [string]$ProcessPath) {
    foreach ($folder in "$ScriptRoot;$ProgramFiles\Pacecap;$MachinePath;$ProcessPath".Split(';')) {
        $folder = [Environment]::ExpandEnvironmentVariables($folder.Trim().Trim('"'))
        if ($folder -match '^[A-Za-z]:\\') { $folder.TrimEnd('\') }
    }
}

# The Pacecap.exe to use: the given one, else the first in $Folders. Where
# this runs $Elevated, a refused candidate is passed over for the next one.
# Returns Exe ($null when none was accepted) and the Refusals, one line each.
function Find-Pacecap([string]$Given, [string[]]$Folders, [bool]$Elevated) {
    $candidates = if ($Given) { , $Given } else { foreach ($folder in $Folders) { "$folder\Pacecap.exe" } }
    $refusals = @()
    foreach ($candidate in $candidates) {
        # Elevated, the path is judged before anything reads it. A name that
        # does not end in .exe is refused too: CreateProcess appends .exe to
        # a name without an extension, and Process.Start trims white space
        # off the name, so another file than the one checked would start.
        $why = if ($Elevated) { Get-PathRefusal $candidate }
        # \z: $ would match before a final line feed.
        if ($Elevated -and -not $why -and $candidate -notmatch '\.exe\z') {
            $why = 'its name does not end in .exe, so Windows would start another file than the one checked'
        }
        if (-not $why) {
            $attributes = Read-Attributes $candidate
            if ($null -eq $attributes -or ($attributes -band 0x10)) { continue }  # 0x10: a folder
            $why = if ($Elevated) { Get-Exposure $candidate } else { '' }
        }
        if (-not $why) { return @{ Exe = $candidate; Refusals = $refusals } }
        $refusals += "Refused $candidate, as this runs with administrator rights and $why"
    }
    @{ Exe = $null; Refusals = $refusals }
}

# The Pacecap.exe that a script is to start or copy, from its -Pacecap
# value: Exe, or Text, the first line to show when there is none. Elevated,
# only the one trusted place, %ProgramFiles%\Pacecap\Pacecap.exe (Program
# Files as Windows names it), or the file named, and only when it passes the
# checks: never a search of the PATH or of the script's folder. A standard
# user's own run looks where Get-SearchFolders says, as that user could
# start any file anyway.
function Resolve-Pacecap([string]$Given, [string]$ScriptRoot) {
    $elevated = Test-RunElevated
    try { $programFiles = Get-SystemFolder 'ProgramFiles' } catch { return @{ Text = "Pacecap.exe was not looked for, as $($_.Exception.Message)" } }
    $folders = if ($elevated) { , "$programFiles\Pacecap" } else {
        if ($Given -and $Given -notmatch '^[A-Za-z]:\\') { $Given = Join-Path (Get-Location).ProviderPath $Given }
        @(Get-SearchFolders $ScriptRoot $programFiles (Read-MachinePath) $env:Path)
    }
    $found = Find-Pacecap $Given $folders $elevated
    if ($found.Exe) { return @{ Exe = $found.Exe } }
    if ($found.Refusals) { return @{ Text = "$($found.Refusals -join '; '). $(Get-Advice $programFiles)" } }
    @{ Text = 'Pacecap.exe was not found: put it in %ProgramFiles%\Pacecap, or name it with -Pacecap' }
}

# --- Compliance

# True when Pacecap's "0" output shows the wanted values on every kind of
# core. It shows a faster kind only where that differs from the rest; an
# on-battery value of 0 stands for any.
function Test-Held([string]$Shown, [int]$PluggedIn, [int]$OnBattery) {
    $wanted = @{ 'plugged-in' = $PluggedIn; 'on-battery' = $OnBattery }
    $lines = [regex]::Matches($Shown, '(plugged-in|on-battery) value (of efficiency class \d+ )?is (\d+)%')
    $classZero = @($lines | Where-Object { -not $_.Groups[2].Success })
    if ($classZero.Count -ne 2) { return $false }
    foreach ($line in $lines) {
        $kind = $line.Groups[1].Value
        $any = $kind -eq 'on-battery' -and $OnBattery -eq 0
        if (-not $any -and [int]$line.Groups[3].Value -ne $wanted[$kind]) { return $false }
    }
    $true
}

# --- Running again in Windows PowerShell

# The Windows PowerShell to run a script again in, or '' to go on here:
# from a 32-bit process on a 64-bit system the 64-bit one, through
# Sysnative beside the system folder $SystemDirectory (System32 is
# redirected there, and %ProgramFiles% is the x86 folder); with
# $NeedsWindowsPowerShell, from PowerShell 7 the one in System32 too.
function Get-Relaunch([bool]$System64, [bool]$Process64, [string]$Edition, [string]$SystemDirectory,
    [bool]$NeedsWindowsPowerShell) {
    $folder = if ($System64 -and -not $Process64) { Get-Sysnative $SystemDirectory }
        elseif ($NeedsWindowsPowerShell -and $Edition -eq 'Core') { $SystemDirectory } else { return '' }
    "$folder\WindowsPowerShell\v1.0\powershell.exe"
}

# The command-line arguments that pass a script's bound parameters on.
function Get-RelaunchArguments($Bound) {
    foreach ($parameter in $Bound.GetEnumerator()) {
        if ($parameter.Value -is [switch]) { if ($parameter.Value) { "-$($parameter.Key)" } }
        elseif ("$($parameter.Value)" -ne '') { "-$($parameter.Key)"; "$($parameter.Value)" }
    }
}

# A command-line argument as Windows programs split their command line:
# quoted when empty or holding a space, a tab or a quote, with a quote
# escaped and the backslashes before a quote (or the closing one) doubled.
function ConvertTo-Argument([string]$Text) {
    if ($Text -and $Text -notmatch '[\s"]') { return $Text }
    '"' + ($Text -replace '(\\*)"', '$1$1\"' -replace '(\\+)$', '$1$1') + '"'
}

# How long a run again may take: longer than two runs of Pacecap and a cold
# start of Windows PowerShell.
$RelaunchSeconds = 240

# Runs the script $Script again in $PowerShell, never waiting for input nor
# without end: its output and exit code. A run that could not be started
# exits 4, nothing changed; one stopped at the bound exits $StoppedCode,
# with a first line that says so.
function Invoke-Relaunch([string]$PowerShell, [string]$Script, $Bound, [int]$StoppedCode) {
    $arguments = @('-NoProfile', '-NonInteractive', '-ExecutionPolicy', 'Bypass', '-File', $Script) + @(Get-RelaunchArguments $Bound)
    try {
        $ran = Invoke-Program $PowerShell (@($arguments | ForEach-Object { ConvertTo-Argument $_ }) -join ' ') $RelaunchSeconds
    } catch {
        return @{ Code = 4; Text = "Windows PowerShell could not be started ($PowerShell): $($_.Exception.Message); nothing changed" }
    }
    if ($ran.Stopped) { return @{ Code = $StoppedCode; Text = "The run in $PowerShell was stopped: $($ran.Stopped)" } }
    @{ Text = $ran.Output.TrimEnd(); Code = $ran.Code }
}

# The relaunch for the running script, or $null to go on here; exit 4,
# nothing changed, when the system folder is not read.
function Start-Relaunch([string]$Script, $Bound, [bool]$NeedsWindowsPowerShell = $false, [int]$StoppedCode = 4) {
    try { $system = Get-SystemFolder 'System' } catch { return @{ Code = 4; Text = "Not run, as $($_.Exception.Message); nothing changed" } }
    $powershell = Get-Relaunch (Read-Wow64 $system) ([Environment]::Is64BitProcess) `
        $PSVersionTable.PSEdition $system $NeedsWindowsPowerShell
    if ($powershell) { Invoke-Relaunch $powershell $Script $Bound $StoppedCode }
}
