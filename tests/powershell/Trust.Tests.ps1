# The roll-out scripts' trust checks and their finder, run for real over facts given as data: the
# small functions that read Windows are mocked.
BeforeAll { . "$PSScriptRoot/DeploySetup.ps1" }
AfterAll { $env:ProgramFiles, $env:SystemRoot, $env:windir = $SavedEnv }

Describe 'Trust' {
    BeforeEach {
        Mock Read-Security { Get-Fact $Fs[$Path].Security }
        Mock Read-Attributes { Get-Fact $Fs[$Path].Attributes }
        Mock Read-Drive { Get-Fact $Drive }
        Mock Read-Account { $ElevatedAdmin }
        $file, $dir = 'C:\Program Files\Pacecap\Pacecap.exe', 'C:\Program Files\Pacecap'
        Set-Machine (Stock)
    }
    It '<Name>' -ForEach @(
        @{ Name = 'stock Program Files\Pacecap, CREATOR OWNER as Administrators'; Why = '^$' }
        @{ Name = 'stock, CREATOR OWNER as the administrator who made the folder'; Owner = 'S-1-5-21-7-7-7-1001'; Why = 'change or delete it' }
        @{ Name = 'the elevated account''s own entry, which its unelevated processes hold too'; Set = { $Fs[$file].Security.Entries += Allow $Admin $F }; Why = 'change or delete it' }
        @{ Name = 'the C:\ root'; Exe = 'C:\Pacecap.exe'; Set = { $Fs['C:\Pacecap.exe'] = $Fs[$file] }; Why = 'files in C:\\$' }
        @{ Name = 'a folder an administrator made under C:\'; Exe = 'C:\Tools\Pacecap.exe'
            Set = { $Fs['C:\Tools'] = @{ Attributes = 0x10; Security = @{ Owner = $BA; Entries = @((Allow $SY $F), (Allow $AU $M)) } }
                $Fs['C:\Tools\Pacecap.exe'] = $Fs[$file] }; Why = 'files in C:\\Tools$' }
        @{ Name = 'Downloads'; Exe = 'C:\Users\Ann\Downloads\Pacecap.exe'
            Set = { foreach ($p in 'C:\Users', 'C:\Users\Ann', 'C:\Users\Ann\Downloads') { $Fs[$p] = @{ Attributes = 0x10; Security = @{ Owner = $SY; Entries = @(Allow $SY $F) } } }
                $Fs['C:\Users\Ann\Downloads'].Security = @{ Owner = 'S-1-5-21-7-7-7-1002'; Entries = @(Allow $SY $F) }
                $Fs['C:\Users\Ann\Downloads\Pacecap.exe'] = $Fs[$file] }; Why = 'files in C:\\Users\\Ann\\Downloads$' }
        @{ Name = 'Users with WriteAttributes alone on the file, no right to write its data'; Set = { $Fs[$file].Security.Entries += Allow $BU 0x100 }; Why = 'change or delete it' }
        @{ Name = 'Users with DeleteChild on the folder'; Set = { $Fs[$dir].Security.Entries += Allow $BU 0x40 }; Why = 'files in C:\\Program Files\\Pacecap$' }
        @{ Name = 'Users with WRITE_DAC on an ancestor'; Set = { $Fs['C:\Program Files'].Security.Entries += Allow $BU 0x40000 }; Why = 'take over C:\\Program Files$' }
        @{ Name = 'a standard user as owner'; Set = { $Fs[$dir].Security.Owner = 'S-1-5-21-7-7-7-1002' }; Why = 'files in' }
        @{ Name = 'a null DACL'; Set = { $Fs[$file].Security.Entries = $null }; Why = 'change or delete it' }
        @{ Name = 'a link on a component'; Set = { $Fs[$dir].Attributes = 0x410 }; Why = 'Pacecap is a link' }
        @{ Name = 'a FAT drive'; Set = { $script:Drive = @{ Type = 'Fixed'; Format = 'FAT32'; Volume = $true } }; Why = 'NTFS or ReFS' }
        @{ Name = 'a network drive'; Set = { $script:Drive = @{ Type = 'Network'; Format = 'NTFS'; Volume = $true } }; Why = 'NTFS or ReFS' }
        @{ Name = 'a SUBST letter, which reports its drive''s type'; Set = { $script:Drive.Volume = $false }; Why = '^C: is not a volume''s own drive letter' }
        @{ Name = 'a UNC path'; Exe = '\\server\share\Pacecap.exe'; Why = 'not on a local drive' }
        @{ Name = 'an inherit-only entry for Users'; Set = { $Fs[$dir].Security.Entries += Allow $BU $F -InheritOnly }; Why = '^$' }
        @{ Name = 'a deny entry alone'; Set = { $Fs[$file].Security.Entries += Allow $WD $F -Deny }; Why = '^$' }
        @{ Name = 'a deny entry beside an allow'; Set = { $Fs[$file].Security.Entries += (Allow $BU 0x2 -Deny), (Allow $BU 0x2) }; Why = 'change or delete it' }
        @{ Name = 'a wildcard in the path, which PowerShell would match to other files'; Exe = 'C:\Program Files\[P]acecap\Pacecap.exe'; Why = 'wildcard' }
    ) {
        $file, $dir = 'C:\Program Files\Pacecap\Pacecap.exe', 'C:\Program Files\Pacecap'
        Set-Machine (Stock $(if ($Owner) { $Owner } else { $BA }))
        if ($Set) { . $Set }
        Get-Exposure $(if ($Exe) { $Exe } else { $file }) | Should -Match $Why
    }
    It 'path form: <Name>' -ForEach @(
        @{ Name = 'the clean path'; Exe = 'C:\Program Files\Pacecap\Pacecap.exe'; Why = '^$' }
        @{ Name = '/ as a separator'; Exe = 'C:\Program Files/Pacecap\Pacecap.exe'; Why = 'not in canonical form: name it as C:\\Program Files\\Pacecap\\Pacecap\.exe$' }
        @{ Name = 'a folder name with a trailing space'; Exe = 'C:\Program Files \Pacecap\Pacecap.exe'; Why = 'not in canonical form: name it as C:\\Program Files\\Pacecap\\Pacecap\.exe$' }
        @{ Name = 'a folder name with a trailing dot'; Exe = 'C:\Program Files\Pacecap.\Pacecap.exe'; Why = 'not in canonical form: name it as C:\\Program Files\\Pacecap\\Pacecap\.exe$' }
        @{ Name = 'a file name with trailing dots and spaces'; Exe = 'C:\Program Files\Pacecap\Pacecap.exe. .'; Why = 'not in canonical form: name it as C:\\Program Files\\Pacecap\\Pacecap\.exe$' }
        @{ Name = 'a doubled separator'; Exe = 'C:\Program Files\\Pacecap\Pacecap.exe'; Why = 'not in canonical form: name it as C:\\Program Files\\Pacecap\\Pacecap\.exe$' }
        @{ Name = 'a . and a .. segment'; Exe = 'C:\Program Files\.\x\..\Pacecap\Pacecap.exe'; Why = 'not in canonical form: name it as C:\\Program Files\\Pacecap\\Pacecap\.exe$' }
        @{ Name = 'a lone . segment'; Exe = 'C:\Program Files\.\Pacecap\Pacecap.exe'; Why = 'not in canonical form: name it as C:\\Program Files\\Pacecap\\Pacecap\.exe$' }
        @{ Name = 'the \\?\ form'; Exe = '\\?\C:\Program Files\Pacecap\Pacecap.exe'; Why = 'device path .*: name it as C:\\Program Files\\Pacecap\\Pacecap\.exe$' }
        @{ Name = 'the \\.\ form'; Exe = '\\.\C:\Program Files\Pacecap\Pacecap.exe'; Why = 'device path .*: name it as C:\\Program Files\\Pacecap\\Pacecap\.exe$' }
        @{ Name = 'a UNC path'; Exe = '\\server\share\Pacecap.exe'; Why = 'not on a local drive' }
        @{ Name = 'a relative path'; Exe = 'Pacecap\Pacecap.exe'; Why = 'not a full path from a drive letter' }
        @{ Name = 'a drive-relative path'; Exe = 'C:Pacecap.exe'; Why = 'not a full path from a drive letter' }
        @{ Name = 'a path from the current drive''s root'; Exe = '\Program Files\Pacecap\Pacecap.exe'; Why = 'not a full path from a drive letter' }
        @{ Name = 'an alternate data stream'; Exe = 'C:\Program Files\Pacecap\Pacecap.exe:x'; Why = 'alternate data stream' }
        @{ Name = 'the default stream named'; Exe = 'C:\Program Files\Pacecap\Pacecap.exe::$DATA'; Why = 'alternate data stream' }
        @{ Name = 'a stream of a folder'; Exe = 'C:\Program Files::$INDEX_ALLOCATION\Pacecap\Pacecap.exe'; Why = 'alternate data stream' }
        @{ Name = 'a device name as a folder'; Exe = 'C:\Program Files\CON\Pacecap.exe'; Why = 'names a device' }
        # Each name that Microsoft's "Naming Files, Paths, and Namespaces" reserves, in either case, with an extension.
        foreach ($name in @('CON', 'prn', 'AUX', 'nul', 'COM0', 'com9', 'LPT0', 'lpt9') + @(foreach ($port in 'COM', 'LPT') { foreach ($digit in 0xB9, 0xB2, 0xB3) { "$port$([char]$digit)" } })) {
            @{ Name = "the device name $name"; Exe = "C:\Program Files\Pacecap\$name.exe"; Why = 'names a device' } }
    ) {
        Set-Machine (Stock)
        Get-Exposure $Exe | Should -Match $Why
        Should -Invoke Read-Attributes -Times ([int]($Why -eq '^$') * 4) -Exactly
    }
    It 'token: <Name>' -ForEach @(
        @{ Name = 'a standard user'; Account = @{}; Elevated = $false; Administrator = $false }
        @{ Name = 'a standard Microsoft Entra user'; Account = @{ User = 'S-1-12-1-1-2-3-4' }; Elevated = $false; Administrator = $false }
        @{ Name = 'a standard user at low integrity'; Account = @{ Integrity = 0x1000 }; Elevated = $false; Administrator = $false }
        @{ Name = 'SYSTEM'; Account = @{ User = 'S-1-5-18'; Integrity = 0x4000 }; Elevated = $true; Administrator = $true }
        @{ Name = 'LOCAL SERVICE'; Account = @{ User = 'S-1-5-19' }; Elevated = $true; Administrator = $false }
        @{ Name = 'NETWORK SERVICE'; Account = @{ User = 'S-1-5-20' }; Elevated = $true; Administrator = $false }
        @{ Name = 'a service''s own account'; Account = @{ User = 'S-1-5-80-1-2-3-4-5' }; Elevated = $true; Administrator = $false }
        @{ Name = 'a user account running a service'; Add = 'S-1-5-6'; Elevated = $true; Administrator = $false }
        @{ Name = 'an administrator, unelevated (Administrators for deny only)'; Add = 'S-1-5-32-544'; Elevated = $true; Administrator = $false }
        @{ Name = 'an administrator, elevated'; Add = 'S-1-5-32-544'; Account = @{ Integrity = 0x3000 }; Elevated = $true; Administrator = $true }
        @{ Name = 'a Backup Operator, unelevated'; Add = 'S-1-5-32-551'; Elevated = $true; Administrator = $false }
        @{ Name = 'a Backup Operator, elevated'; Add = 'S-1-5-32-551'; Account = @{ Integrity = 0x3000 }; Elevated = $true; Administrator = $false }
        # A group alone makes the difference to a standard user's token.
        foreach ($group in 'a Server Operator S-1-5-32-549', 'SYSTEM as a group S-1-5-18', 'LOCAL SERVICE as a group S-1-5-19', 'NETWORK SERVICE as a group S-1-5-20',
            'a service''s SID as a group S-1-5-80-1-2-3-4-5') { @{ Name = $group.Substring(0, $group.LastIndexOf(' ')); Add = $group.Split(' ')[-1]; Elevated = $true; Administrator = $false } }
        @{ Name = 'high integrity alone'; Account = @{ Integrity = 0x3000 }; Elevated = $true; Administrator = $false }
        @{ Name = 'an integrity level not read'; Account = @{ Integrity = $null }; Elevated = $true; Administrator = $false }
        @{ Name = 'groups not read'; Account = @{ Groups = $null }; Elevated = $true; Administrator = $false }
        @{ Name = 'a token that cannot be read'; Throws = $true; Elevated = $true; Administrator = $false }
    ) {
        $token = $Standard.Clone()
        foreach ($key in $Account.Keys) { $token[$key] = $Account[$key] }
        if ($Add) { $token.Groups += $Add }
        Mock Read-Account { if ($Throws) { throw 'no' }; $token }
        Test-RunElevated | Should -Be $Elevated
        Test-Administrator $(if (-not $Throws) { $token }) | Should -Be $Administrator
    }
    # Each right the check looks for, held by Users alone on one item of the
    # exe's path: the file, its folder, a folder above it, the drive's root.
    It 'refuses Users with only <Right> on <Item>' -ForEach @(
        foreach ($right in 'WriteData 0x2', 'AppendData 0x4', 'WriteAttributes 0x100', 'DELETE 0x10000', 'WRITE_DAC 0x40000', 'WRITE_OWNER 0x80000',
            'GENERIC_ALL 0x10000000', 'GENERIC_WRITE 0x40000000') { @{ Item = 'C:\Program Files\Pacecap\Pacecap.exe'; Right = $right; Why = 'standard users can change or delete it$' } }
        foreach ($right in 'AddFile 0x2', 'AddSubdirectory 0x4', 'DeleteChild 0x40', 'WriteAttributes 0x100', 'DELETE 0x10000', 'WRITE_DAC 0x40000',
            'WRITE_OWNER 0x80000', 'GENERIC_ALL 0x10000000', 'GENERIC_WRITE 0x40000000') { @{ Item = 'C:\Program Files\Pacecap'; Right = $right; Why = 'files in C:\\Program Files\\Pacecap$' } }
        foreach ($right in 'DeleteChild 0x40', 'DELETE 0x10000', 'WRITE_DAC 0x40000', 'WRITE_OWNER 0x80000', 'GENERIC_ALL 0x10000000') {
            @{ Item = 'C:\Program Files'; Right = $right; Why = 'take over C:\\Program Files$' } }
        foreach ($right in 'DeleteChild 0x40', 'WRITE_DAC 0x40000', 'WRITE_OWNER 0x80000', 'GENERIC_ALL 0x10000000') { @{ Item = 'C:\'; Right = $right; Why = 'take over C:\\$' } }
    ) {
        $Fs[$Item].Security.Entries += Allow $BU ([int]$Right.Split(' ')[1])
        Get-Exposure $file | Should -Match $Why
    }
    # As the owner of every item on the path, and holding full control of each.
    It '<Name> as owner: <Owner>; with full control: <Entry>' -ForEach @(
        @{ Name = 'SYSTEM'; Sid = 'S-1-5-18'; Owner = 'accepted'; Entry = 'accepted' }
        @{ Name = 'Administrators'; Sid = 'S-1-5-32-544'; Owner = 'accepted'; Entry = 'accepted' }
        @{ Name = 'TrustedInstaller'; Sid = 'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464'; Owner = 'accepted'; Entry = 'accepted' }
        @{ Name = 'CREATOR OWNER, a placeholder'; Sid = 'S-1-3-0'; Owner = 'refused'; Entry = 'accepted' }
        @{ Name = 'OWNER RIGHTS, a placeholder'; Sid = 'S-1-3-4'; Owner = 'refused'; Entry = 'accepted' }
        foreach ($one in 'Everyone S-1-1-0', 'INTERACTIVE S-1-5-4', 'Authenticated Users S-1-5-11', 'Users S-1-5-32-545', 'Power Users S-1-5-32-547',
            'Backup Operators S-1-5-32-551', 'Guests S-1-5-32-546', 'a logon session S-1-5-5-0-41234', 'SERVICE S-1-5-6', 'LOCAL SERVICE S-1-5-19',
            'NETWORK SERVICE S-1-5-20', 'another service S-1-5-80-1-2-3-4-5', 'ALL APPLICATION PACKAGES S-1-15-2-1',
            'the running account, as Read-Account gives it account') {
            @{ Name = $one.Substring(0, $one.LastIndexOf(' ')); Sid = $one.Split(' ')[-1]; Owner = 'refused'; Entry = 'refused' }
        }
    ) {
        $sid = if ($Sid -eq 'account') { (Read-Account).User } else { $Sid }
        $sid | Should -Match '^S-1-'
        $want = @{ accepted = '^$'; refused = 'standard users can change or delete it$' }
        $items = $file, $dir, 'C:\Program Files', 'C:\'
        foreach ($item in $items) { $Fs[$item].Security.Entries += Allow $sid $F }
        Get-Exposure $file | Should -Match $want[$Entry]
        Set-Machine (Stock)
        foreach ($item in $items) { $Fs[$item].Security.Owner = $sid }
        Get-Exposure $file | Should -Match $want[$Owner]
    }
    It 'refuses a link at <Item>' -ForEach @('C:\Program Files\Pacecap\Pacecap.exe', 'C:\Program Files\Pacecap', 'C:\Program Files', 'C:\' | ForEach-Object { @{ Item = $_ } }) {
        $Fs[$Item].Attributes = $Fs[$Item].Attributes -bor 0x400
        Get-Exposure $file | Should -Be "$Item is a link"
    }
    It 'refuses when <Name>' -ForEach @(
        @{ Name = 'the file''s permissions cannot be read'; Set = { $Fs[$file].Security = { throw 'Access is denied' } } }
        @{ Name = 'the root''s permissions cannot be read'; Set = { $Fs['C:\'].Security = { throw 'Access is denied' } } }
        @{ Name = 'the file''s permissions read as nothing'; Set = { $Fs[$file].Security = { } } }
        @{ Name = 'a folder''s permissions read as nothing'; Set = { $Fs['C:\Program Files'].Security = { } } }
        @{ Name = 'the folder''s permissions read without an owner'; Set = { $Fs[$dir].Security = @{ Entries = @(Allow $SY $F) } } }
        @{ Name = 'the file''s attributes cannot be read'; Set = { $Fs[$file].Attributes = { throw 'Access is denied' } } }
        @{ Name = 'a folder''s attributes read as nothing'; Set = { $Fs[$dir].Attributes = { } } }
        @{ Name = 'the root''s attributes read as nothing'; Set = { $Fs['C:\'].Attributes = { } } }
        @{ Name = 'the drive cannot be read'; Set = { $script:Drive = { throw 'The device is not ready' } } }
        @{ Name = 'the drive reads as nothing'; Set = { $script:Drive = { } } }
        @{ Name = 'the drive is removable'; Set = { $script:Drive = @{ Type = 'Removable'; Format = 'NTFS'; Volume = $true } } }
        @{ Name = 'the drive is a CD'; Set = { $script:Drive = @{ Type = 'CDRom'; Format = 'NTFS'; Volume = $true } } }
        @{ Name = 'the drive is of no known type'; Set = { $script:Drive = @{ Type = 'Unknown'; Format = 'NTFS'; Volume = $true } } }
    ) {
        Get-Exposure $file | Should -BeExactly ''
        . $Set
        Get-Exposure $file | Should -Not -BeNullOrEmpty
    }
}

Describe 'The finder' {
    AfterEach { $env:ProgramFiles = $env:SystemRoot = $env:windir = $UserFolder }
    It 'looks beside the script, in Program Files, then on the PATHs, leaving out relative entries' {
        Get-SearchFolders 'C:\Kit' 'C:\Program Files' '%SystemRoot%\System32;bin;E:bin;"C:\Quoted Dir\";;D:\' 'C:\Mine' |
            Should -Be 'C:\Kit', 'C:\Program Files\Pacecap', "$env:SystemRoot\System32", 'C:\Quoted Dir', 'D:', 'C:\Mine'  # a standard user's own names
    }
    It '<Name>' -ForEach @(
        @{ Name = 'a standard user: the first found on the PATH, unchecked'; Account = 'Standard'; Exe = 'C:\A\Pacecap.exe' }
        @{ Name = 'elevated: the installed one, checked, never one on the PATH'; Installed = $true; Exe = 'C:\Program Files\Pacecap\Pacecap.exe' }
        @{ Name = 'elevated, none installed: the PATH is not searched'; Text = '^Pacecap.exe was not found' }
        @{ Name = 'LOCAL SERVICE: the PATH is not searched'; Account = 'S-1-5-19'; Text = '^Pacecap.exe was not found' }
        @{ Name = 'an installed one refused: named, then the advice'; Installed = $true; UserOwned = $true
            Text = '^Refused C:\\Program Files\\Pacecap\\Pacecap.exe, as this runs with administrator rights and standard users can change or delete it\. Put it in C:\\Program Files\\Pacecap, .*icacls' }
        @{ Name = 'a given one that is refused is not passed over'; Given = 'C:\A\Pacecap.exe'; Text = '^Refused C:\\A\\Pacecap.exe, .* files in C:\\A\. Put' }
        @{ Name = 'a given one in another form: refused before anything reads it'; Given = 'C:\A/Pacecap.exe'; Text = '^Refused C:\\A/Pacecap.exe, .* not in canonical form: name it as C:\\A\\Pacecap.exe\. Put' }
        @{ Name = 'none found'; Given = 'C:\None\Pacecap.exe'; Text = '^Pacecap.exe was not found' }
        # CreateProcess would start C:\B\Pacecap.exe; Process.Start would trim the no-break space.
        @{ Name = 'a given one without .exe: refused, as Windows appends it'; Given = 'C:\B\Pacecap'; Text = '^Refused C:\\B\\Pacecap, .* does not end in \.exe' }
        @{ Name = 'a given one ending in white space that .NET trims: refused'; Given = "C:\B\Pacecap.exe$([char]0xA0)"; Text = '^Refused C:\\B\\Pacecap\.exe.*, .* does not end in \.exe' }
        @{ Name = 'a given one ending in a line feed: refused'; Given = "C:\B\Pacecap.exe`n"; Text = '^Refused C:\\B\\Pacecap\.exe\n, .* does not end in \.exe' }
        @{ Name = 'a relative one, elevated: refused, never taken from the current folder'; Given = 'Pacecap.exe'; Text = '^Refused Pacecap\.exe, .* not a full path from a drive letter' }
    ) {
        $token = if ($Account -eq 'Standard') { $Standard } elseif ($Account) { @{ User = $Account; Groups = @(); Integrity = 0x3000 } } else { $SystemAccount }
        Mock Read-Account { $token }
        Mock Read-MachinePath { 'C:\A;C:\Folder;C:\B' }
        Mock Read-Security { $Fs[$Path].Security }
        Mock Read-Attributes { $Fs[$Path].Attributes }
        Mock Read-Drive { $Drive }
        # C:\A is a folder that users may add files to; C:\Folder\Pacecap.exe is a folder.
        $admins = @{ Owner = $BA; Entries = @((Allow $SY $F), (Allow $BA $F), (Allow $BU $RX)) }
        $acls = Stock
        if (-not $Installed) { $acls.Remove('C:\Program Files\Pacecap\Pacecap.exe') }
        $acls['C:\A'] = @{ Owner = $BA; Entries = @((Allow $SY $F), (Allow $AU $M)) }
        foreach ($path in 'C:\A\Pacecap.exe', 'C:\Folder', 'C:\Folder\Pacecap.exe', 'C:\B', 'C:\B\Pacecap.exe', 'C:\B\Pacecap', "C:\B\Pacecap.exe$([char]0xA0)", "C:\B\Pacecap.exe`n") { $acls[$path] = $admins }
        Set-Machine $acls
        $Fs['C:\Folder\Pacecap.exe'].Attributes = 0x10
        $Fs['C:\B\Pacecap'].Attributes = $Fs["C:\B\Pacecap.exe$([char]0xA0)"].Attributes = $Fs["C:\B\Pacecap.exe`n"].Attributes = 0x20
        if ($UserOwned) { $Fs['C:\Program Files\Pacecap\Pacecap.exe'].Security.Owner = 'S-1-5-21-7-7-7-1002' }
        $found = Resolve-Pacecap $Given 'relative'
        $found.Exe | Should -Be $Exe
        $found.Text | Should -Match $(if ($Text) { $Text } else { '^$' })
        # Read on the PATH: a standard user's first one; elevated, only the given one, then by the check.
        $reads = if ($Account -eq 'Standard') { 1 } elseif ($Given -eq 'C:\A\Pacecap.exe') { 2 } else { 0 }
        Should -Invoke Read-Attributes -ParameterFilter { $Path -like 'C:\[AB]\*' } -Times $reads -Exactly
    }
    It '<Name>' -ForEach @(
        @{ Name = 'starts exactly the checked file, never one that its name matches as a wildcard'; Want = '[x] 0' }
        @{ Name = 'stops a run that does not end, and says it started'; Hang = $true; Stopped = '^it did not end within 1 seconds and was stopped$' }
        # Here the wait fails, as the bound is one Windows refuses; the run goes on meanwhile.
        @{ Name = 'a run whose wait fails once it started comes back as stopped, never thrown as not started'; Hang = $true; Seconds = -1
            Stopped = '^it was stopped, as waiting for it or reading its output failed \(' }
        # What it left running holds the output open.
        @{ Name = 'a run whose output outlives it comes back as stopped, with its exit code'; Holds = $true; Code = 0; Stopped = '^its output did not end with it$' }
    ) {
        # Run for real, in Windows' own environment (Winsock, for one, needs SystemRoot).
        $env:ProgramFiles, $env:SystemRoot, $env:windir = $SavedEnv
        $name = if ($IsLinux -or $IsMacOS) { 'run' } else { 'run.cmd' }
        foreach ($folder in 'x', '[x]') {
            $file = [IO.Path]::Combine((Get-PSDrive TestDrive).Root, $folder, $name)
            [IO.Directory]::CreateDirectory([IO.Path]::GetDirectoryName($file)) | Out-Null
            $text = if ($name -eq 'run') { "#!/bin/sh`necho $folder $*" } else { "@echo $folder %*" }
            if ($Hang) { $text += $(if ($name -eq 'run') { "`nsleep 20" } else { "`r`n@ping -n 20 127.0.0.1 >nul" }) }
            if ($Holds) { $text += $(if ($name -eq 'run') { "`nsleep 20 &" } else { "`r`n@start /b ping -n 20 127.0.0.1" }) }
            [IO.File]::WriteAllText($file, $text)
            if ($name -eq 'run') { [IO.File]::SetUnixFileMode($file, 'UserRead, UserWrite, UserExecute') }
        }
        $ran = Invoke-Pacecap ([IO.Path]::Combine((Get-PSDrive TestDrive).Root, '[x]', $name)) '0' $(if ($Seconds) { $Seconds } else { 1 })
        if ($Stopped) { $ran.Stopped | Should -Match $Stopped; $ran.Code | Should -Be $Code } else { $ran.Output.Trim() | Should -Be $Want; $ran.Stopped | Should -BeNullOrEmpty }
    }
    It 'a file that cannot be started throws: it never started' {
        { Invoke-Pacecap ([IO.Path]::Combine((Get-PSDrive TestDrive).Root, 'none', 'Pacecap.exe')) '0' 1 } | Should -Throw 'Exception calling "Start"*'
    }
}
