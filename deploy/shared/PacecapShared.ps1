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

# The type and file system of the drive with letter $Letter.
function Read-Drive([string]$Letter) {
    $drive = New-Object IO.DriveInfo $Letter
    @{ Type = "$($drive.DriveType)"; Format = $drive.DriveFormat }
}

# Whether this runs elevated (as SYSTEM or as an elevated administrator).
function Read-Account {
    $identity = [Security.Principal.WindowsIdentity]::GetCurrent()
    $admin = (New-Object Security.Principal.WindowsPrincipal $identity).IsInRole(
        [Security.Principal.WindowsBuiltInRole]::Administrator)
    @{ Elevated = $identity.IsSystem -or $admin }
}

# The machine's PATH as it is now, not as this process got it.
function Read-MachinePath { [Environment]::GetEnvironmentVariable('Path', 'Machine') }

# Pacecap's output and exit code, started from exactly the file $Exe: no
# lookup and no wildcards, which the call operator of Windows PowerShell
# would expand. The output is a pipe, so Pacecap never waits for a key.
# Nothing here waits without end: a run that outlasts $Seconds is stopped.
function Invoke-Pacecap([string]$Exe, [string]$Arguments, [int]$Seconds = 60) {
    $start = New-Object Diagnostics.ProcessStartInfo $Exe, $Arguments
    $start.UseShellExecute = $false
    $start.RedirectStandardOutput = $true
    $process = [Diagnostics.Process]::Start($start)
    # Read while it runs, so that a full pipe never holds it up.
    $reading = $process.StandardOutput.ReadToEndAsync()
    if (-not $process.WaitForExit($Seconds * 1000)) {
        try { $process.Kill() } catch { }
        throw "it did not end within $Seconds seconds and was stopped"
    }
    # Whatever it started may hold the pipe open after it ended.
    if (-not $reading.Wait(5000)) { throw 'its output did not end with it' }
    @{ Output = $reading.Result; Code = $process.ExitCode }
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
# attributes (enough to make a file a reparse point), 0x10000 delete,
# 0x40000 change permissions, 0x80000 take ownership, and the generic all
# (0x10000000) and write (0x40000000).
$FileMask = 0x500D0106
$FolderMask = 0x500D0046
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

# Why standard users could put another file in place of the file $Path (or
# change what the folder $Path holds, with -Folder), or '' when they cannot:
# its own rights, its folder's and those of every folder above; each must be
# a plain item on a local NTFS or ReFS drive (a network drive's permissions
# are another machine's; FAT has none).
function Get-Exposure([string]$Path, [switch]$Folder) {
    try {
        if ($Path -notmatch '^[A-Za-z]:\\[^\\]') { return 'it is not on a local drive' }
        if ($Path -match '[\[\]*?]') { return 'its path holds a wildcard character' }
        $parts = $Path.Split('\')
        if ($parts -contains '' -or $parts -contains '.' -or $parts -contains '..') { return 'its path is not a plain full path' }
        $drive = Read-Drive $Path.Substring(0, 1)
        if ($drive.Type -ne 'Fixed' -or @('NTFS', 'ReFS') -notcontains $drive.Format) {
            return 'it is not on a local NTFS or ReFS drive'
        }
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

# The folders to look in, in order: the script's own, then
# %ProgramFiles%\Pacecap, the machine's PATH as it is now, this process's
# PATH. A relative entry means a different folder to each process: left out.
function Get-SearchFolders([string]$ScriptRoot, [string]$ProgramFiles, [string]$MachinePath, [string]$ProcessPath) {
    foreach ($folder in "$ScriptRoot;$ProgramFiles\Pacecap;$MachinePath;$ProcessPath".Split(';')) {
        $folder = [Environment]::ExpandEnvironmentVariables($folder.Trim().Trim('"'))
        if ($folder -match '^[A-Za-z]:\\') { $folder.TrimEnd('\') }
    }
}

# The Pacecap.exe to use: the given one, else the first in $Folders. Where
# this runs elevated, a refused candidate is passed over for the next one.
# Returns Exe ($null when none was accepted) and the Refusals, one line each.
function Find-Pacecap([string]$Given, [string[]]$Folders) {
    $candidates = if ($Given) { , $Given } else { foreach ($folder in $Folders) { "$folder\Pacecap.exe" } }
    $refusals = @()
    foreach ($candidate in $candidates) {
        $attributes = Read-Attributes $candidate
        if ($null -eq $attributes -or ($attributes -band 0x10)) { continue }  # 0x10: a folder
        $why = if ((Read-Account).Elevated) { Get-Exposure $candidate } else { '' }
        if (-not $why) { return @{ Exe = $candidate; Refusals = $refusals } }
        $refusals += "Refused $candidate, as this runs with administrator rights and $why"
    }
    @{ Exe = $null; Refusals = $refusals }
}

# The Pacecap.exe that a script is to start or copy, from its -Pacecap
# value: Exe, or Text, the first line to show when there is none.
function Resolve-Pacecap([string]$Given, [string]$ScriptRoot) {
    if ($Given -and $Given -notmatch '^[A-Za-z]:\\') { $Given = Join-Path (Get-Location).ProviderPath $Given }
    $folders = @(Get-SearchFolders $ScriptRoot $env:ProgramFiles (Read-MachinePath) $env:Path)
    $found = Find-Pacecap $Given $folders
    if ($found.Exe) { return @{ Exe = $found.Exe } }
    if ($found.Refusals) { return @{ Text = "$($found.Refusals -join '; '). $(Get-Advice $env:ProgramFiles)" } }
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
# from a 32-bit process on a 64-bit system the 64-bit one (System32 is
# redirected there, and %ProgramFiles% is the x86 folder); with
# $NeedsWindowsPowerShell, from PowerShell 7 too.
function Get-Relaunch([bool]$System64, [bool]$Process64, [string]$Edition, [string]$WinDir,
    [bool]$NeedsWindowsPowerShell) {
    $folder = if ($System64 -and -not $Process64) { 'Sysnative' } elseif ($NeedsWindowsPowerShell -and $Edition -eq 'Core') {
        'System32' } else { return '' }
    "$WinDir\$folder\WindowsPowerShell\v1.0\powershell.exe"
}

# The command-line arguments that pass a script's bound parameters on.
function Get-RelaunchArguments($Bound) {
    foreach ($parameter in $Bound.GetEnumerator()) {
        if ($parameter.Value -is [switch]) { if ($parameter.Value) { "-$($parameter.Key)" } }
        elseif ("$($parameter.Value)" -ne '') { "-$($parameter.Key)"; "$($parameter.Value)" }
    }
}

# Runs the script $Script again in $PowerShell: its output and exit code.
function Invoke-Relaunch([string]$PowerShell, [string]$Script, $Bound) {
    $arguments = @(Get-RelaunchArguments $Bound)
    $output = & $PowerShell -NoProfile -ExecutionPolicy Bypass -File $Script @arguments | Out-String
    @{ Text = $output.TrimEnd(); Code = $LASTEXITCODE }
}

# The relaunch for the running script, or $null to go on here.
function Start-Relaunch([string]$Script, $Bound, [bool]$NeedsWindowsPowerShell = $false) {
    $powershell = Get-Relaunch ([Environment]::Is64BitOperatingSystem) ([Environment]::Is64BitProcess) `
        $PSVersionTable.PSEdition $env:windir $NeedsWindowsPowerShell
    if ($powershell) { Invoke-Relaunch $powershell $Script $Bound }
}
