# The roll-out scripts' decisions, run for real over facts given as data: the
# small functions that read Windows are mocked.
BeforeAll {
    $Deploy = (Resolve-Path -LiteralPath "$PSScriptRoot/../../deploy").ProviderPath
    . "$Deploy/Detect-Pacecap.ps1"
    . "$Deploy/Remediate-Pacecap.ps1"
    . "$Deploy/Register-PacecapTask.ps1"
    # The environment as a user's unelevated side may set it for an elevated
    # prompt: no path comes from it, only from the folders Windows names.
    $SavedEnv = $env:ProgramFiles, $env:SystemRoot, $env:windir
    $UserFolder = 'C:\Users\Ann\AppData\Local\Temp'
    $env:ProgramFiles = $env:SystemRoot = $env:windir = $UserFolder
    Mock Read-SystemDirectory { 'C:\Windows\System32' }
    Mock Read-ProgramFiles { 'C:\Program Files' }
    $SY, $BA, $TI, $CO = 'S-1-5-18', 'S-1-5-32-544', 'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464', 'S-1-3-0'
    $BU, $AU, $WD, $Admin = 'S-1-5-32-545', 'S-1-5-11', 'S-1-1-0', 'S-1-5-21-7-7-7-1001'
    $F, $M, $RX = 0x1F01FF, 0x1301BF, 0x1200A9
    # Tokens as Read-Account gives them.
    $Standard = @{ User = 'S-1-5-21-7-7-7-1002'; Groups = @('S-1-1-0', 'S-1-5-32-545', 'S-1-5-4', 'S-1-5-11', 'S-1-16-8192'); Integrity = 0x2000 }
    $ElevatedAdmin = @{ User = $Admin; Groups = @('S-1-1-0', $BA, 'S-1-5-32-545', 'S-1-16-12288'); Integrity = 0x3000 }
    $SystemAccount = @{ User = $SY; Groups = @($BA, 'S-1-1-0', 'S-1-5-11', 'S-1-16-16384'); Integrity = 0x4000 }
    function Allow($Sid, $Mask, [switch]$InheritOnly, [switch]$Deny) { @{ Sid = $Sid; Mask = $Mask; InheritOnly = [bool]$InheritOnly; Deny = [bool]$Deny } }
    # Stock shapes: the C:\ root, Program Files, and a folder and file an
    # administrator unpacked there, CREATOR OWNER expanded to $Owner.
    function Stock($Owner = $BA) {
        $installed = @((Allow $SY $F), (Allow $BA $F), (Allow $BU $RX), (Allow $Owner $F))
        @{ 'C:\' = @{ Owner = $TI; Entries = @((Allow $BA $F), (Allow $SY $F), (Allow $BU $RX), (Allow $AU 0x4), (Allow $AU $M -InheritOnly)) }
            'C:\Program Files' = @{ Owner = $TI; Entries = @((Allow $TI $F), (Allow $SY $M), (Allow $BA $M), (Allow $BU $RX), (Allow $CO $F -InheritOnly)) }
            'C:\Program Files\Pacecap' = @{ Owner = $Owner; Entries = $installed + @(Allow $CO $F -InheritOnly) }
            'C:\Program Files\Pacecap\Pacecap.exe' = @{ Owner = $Owner; Entries = $installed } }
    }
    # A machine as data: $Fs maps a path to its Security and Attributes, on a local NTFS drive.
    function Set-Machine($Acls) {
        $script:Fs = @{}
        foreach ($path in $Acls.Keys) { $script:Fs[$path] = @{ Security = $Acls[$path]; Attributes = $(if ($path -like '*.exe') { 0x20 } else { 0x10 }) } }
        $script:Drive = @{ Type = 'Fixed'; Format = 'NTFS'; Volume = $true }
    }
    # A fact as the mocks give it: a script block stands for a read that fails (throws, or gives nothing).
    function Get-Fact($Value) { if ($Value -is [scriptblock]) { & $Value } else { $Value } }
}
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
        @{ Name = 'stock, CREATOR OWNER as the administrator (hole 4)'; Owner = 'S-1-5-21-7-7-7-1001'; Why = 'change or delete it' }
        @{ Name = 'hole 3: the elevated account own entry'; Set = { $Fs[$file].Security.Entries += Allow $Admin $F }; Why = 'change or delete it' }
        @{ Name = 'the C:\ root'; Exe = 'C:\Pacecap.exe'; Set = { $Fs['C:\Pacecap.exe'] = $Fs[$file] }; Why = 'files in C:\\$' }
        @{ Name = 'a folder an administrator made under C:\'; Exe = 'C:\Tools\Pacecap.exe'
            Set = { $Fs['C:\Tools'] = @{ Attributes = 0x10; Security = @{ Owner = $BA; Entries = @((Allow $SY $F), (Allow $AU $M)) } }
                $Fs['C:\Tools\Pacecap.exe'] = $Fs[$file] }; Why = 'files in C:\\Tools$' }
        @{ Name = 'Downloads'; Exe = 'C:\Users\Ann\Downloads\Pacecap.exe'
            Set = { foreach ($p in 'C:\Users', 'C:\Users\Ann', 'C:\Users\Ann\Downloads') { $Fs[$p] = @{ Attributes = 0x10; Security = @{ Owner = $SY; Entries = @(Allow $SY $F) } } }
                $Fs['C:\Users\Ann\Downloads'].Security = @{ Owner = 'S-1-5-21-7-7-7-1002'; Entries = @(Allow $SY $F) }
                $Fs['C:\Users\Ann\Downloads\Pacecap.exe'] = $Fs[$file] }; Why = 'files in C:\\Users\\Ann\\Downloads$' }
        @{ Name = 'hole 1: Users with only WriteAttributes on the file'; Set = { $Fs[$file].Security.Entries += Allow $BU 0x100 }; Why = 'change or delete it' }
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
        @{ Name = 'hole 2: a wildcard in the path'; Exe = 'C:\Program Files\[P]acecap\Pacecap.exe'; Why = 'wildcard' }
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
        @{ Name = 'hole 2: starts exactly the checked file, never one that its name matches as a wildcard'; Want = '[x] 0' }
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

Describe 'Detect and Remediate' {
    BeforeEach {
        Mock Read-Account { $Standard }
        Mock Read-MachinePath { '' }
        Mock Read-Attributes { if ($Path -eq 'C:\Program Files\Pacecap\Pacecap.exe') { 0x20 } }
    }
    It '<Script> <Wanted> with <Shown> <Fault> (ConfigMgr <ConfigMgr>): exit <Code>' -ForEach @(
        @{ Script = 'Detect'; Shown = 'set'; Code = 0; Text = '^Compliant: plugged-in 99%, on-battery 80%$' }
        @{ Script = 'Detect'; Shown = 'class1'; Code = 1; Text = '^Not compliant: plugged-in 99%, on-battery 80%, plugged-in of efficiency class 1 100% \(wanted plugged-in 99%, on-battery 80%\)$' }
        @{ Script = 'Detect'; Shown = 'class1'; ConfigMgr = $true; Code = 0; Text = '^NonCompliant$' }
        @{ Script = 'Detect'; Shown = 'set'; ConfigMgr = $true; Code = 0; Text = '^Compliant$' }
        @{ Script = 'Detect'; Shown = 'other'; Wanted = 99, 0; Code = 0; Text = 'on-battery 55%$' }
        @{ Script = 'Detect'; Shown = 'other'; Code = 1; Text = 'wanted plugged-in 99%, on-battery 80%\)$' }
        @{ Script = 'Detect'; Shown = 'failed'; Code = 1; Text = '^Not compliant: Pacecap could not read the values \(exit code 2\)' }
        @{ Script = 'Detect'; Shown = 'set'; Exit = 5; Code = 1; Text = '^Not compliant: Pacecap could not read the values \(exit code 5\)' }
        @{ Script = 'Detect'; Wanted = 101, 80; Code = 2; Text = '^Invalid wanted value 101' }
        @{ Script = 'Detect'; Given = 'C:\None.exe'; Code = 4; Text = '^Pacecap.exe was not found' }
        @{ Script = 'Detect'; Given = 'C:\None.exe'; ConfigMgr = $true; Code = 4; Text = '^Pacecap.exe was not found' }
        @{ Script = 'Detect'; Shown = 'class1'; Fault = 'read not started'; Code = 4; Text = '^Pacecap could not be started \(C:\\Program Files\\Pacecap\\Pacecap.exe\): no such file$' }
        @{ Script = 'Detect'; Shown = 'class1'; Fault = 'read not started'; ConfigMgr = $true; Code = 4; Text = '^Pacecap could not be started \(C:\\Program Files\\Pacecap\\Pacecap.exe\)' }
        @{ Script = 'Remediate'; Shown = 'set'; Code = 0; Text = '^Already set: plugged-in 99%, on-battery 80%; nothing changed$' }
        @{ Script = 'Remediate'; Shown = 'class1'; Code = 0; Text = '^set 99 80$' }
        @{ Script = 'Remediate'; Shown = 'other'; Wanted = 99, 0; Code = 0; Text = '^Already set: plugged-in 99%, on-battery left as it was; nothing changed$' }
        @{ Script = 'Remediate'; Shown = 'other'; Wanted = 98, 0; Code = 0; Text = '^set 98 0$' }
        @{ Script = 'Remediate'; Shown = 'failed'; Code = 0; Text = '^set 99 80$' }
        @{ Script = 'Remediate'; Shown = 'set'; Exit = 5; Code = 0; Text = '^set 99 80$' }
        @{ Script = 'Remediate'; Wanted = 99, -1; Code = 1; Text = '^Invalid value -1.*; nothing changed$' }
        @{ Script = 'Remediate'; Given = 'C:\None.exe'; Code = 4; Text = 'not found.*; nothing changed$' }
        @{ Script = 'Remediate'; Shown = 'class1'; Fault = 'set stopped'; Code = 3; Text = '^Pacecap 99 80 was stopped after it started \(C:\\Program Files\\Pacecap\\Pacecap.exe\): it did not end.*; a value may have changed$' }
        @{ Script = 'Remediate'; Shown = 'class1'; Fault = 'set not started'; Code = 4; Text = '^Pacecap could not be started \(C:\\Program Files\\Pacecap\\Pacecap.exe\): no such file; nothing changed$' }
        @{ Script = 'Remediate'; Shown = 'class1'; Fault = 'read stopped'; Code = 4; Text = '^Pacecap 0 was stopped \(C:.*\): it did not end.*; nothing changed$' }
        @{ Script = 'Remediate'; Shown = 'class1'; Fault = 'read not started'; Code = 4; Text = '^Pacecap could not be started \(C:\\Program Files\\Pacecap\\Pacecap.exe\): no such file; nothing changed$' }
        @{ Script = 'Detect'; Shown = 'class1'; Fault = 'read stopped'; Code = 4; Text = '^Pacecap was stopped \(C:.*\): it did not end' }
        @{ Script = 'Detect'; Shown = 'class1'; Fault = 'read stopped'; ConfigMgr = $true; Code = 4; Text = '^Pacecap was stopped \(C:.*\): it did not end' }
    ) {
        $outputs = @{ set = "`r`nplugged-in value is 99%`r`non-battery value is 80%`r`n"
            class1 = "`r`nplugged-in value is 99%`r`non-battery value is 80%`r`nplugged-in value of efficiency class 1 is 100%`r`n"
            other = "`r`nplugged-in value is 99%`r`non-battery value is 55%`r`n"; failed = "No active power scheme`r`n" }
        # Only the file that was found, and checked, is started, bounded by a
        # minute; a Fault ('read' or 'set', 'not started' or 'stopped') befalls that step.
        Mock Invoke-Program { throw "started $Exe" }
        Mock Invoke-Program -ParameterFilter { $Exe -eq 'C:\Program Files\Pacecap\Pacecap.exe' -and $Seconds -eq 60 } {
            $step = if ($Arguments -eq '0') { 'read' } else { 'set' }
            if ($Fault -eq "$step not started") { throw 'no such file' }
            if ($Fault -eq "$step stopped") { return @{ Output = ''; Stopped = 'it did not end within 60 seconds and was stopped' } }
            if ($Arguments -eq '0') { @{ Output = $outputs[$Shown]; Code = $(if ($Exit) { $Exit } else { [int]($Shown -eq 'failed') * 2 }) } } else { @{ Output = "set $Arguments`r`n"; Code = 0 } } }
        $plugged, $battery = if ($Wanted) { $Wanted } else { 99, 80 }
        $outcome = if ($Script -eq 'Detect') { Invoke-Detect $plugged $battery $Given ([bool]$ConfigMgr) @{} } else { Invoke-Remediate $plugged $battery $Given @{} }
        $outcome.Text | Should -Match $Text
        $outcome.Code | Should -Be $Code
        Should -Invoke Invoke-Program -Times ([int]($Text -like '^set*' -or $Fault -like 'set*')) -Exactly -ParameterFilter { $Arguments -ne '0' }
    }
    It '<Script> takes <Wanted>: <Valid>' -ForEach @(foreach ($script in 'Detect', 'Remediate') {
            foreach ($value in 0, 100, -1, 101) { foreach ($wanted in @($value, 80), @(99, $value)) { @{ Script = $script; Wanted = $wanted; Value = $value; Valid = $value -in 0, 100 } } } }) {
        Mock Invoke-Pacecap -ParameterFilter { $Exe -eq 'C:\Program Files\Pacecap\Pacecap.exe' } { @{ Output = "set $Arguments"; Code = 0 } }
        $outcome = if ($Script -eq 'Detect') { Invoke-Detect $Wanted[0] $Wanted[1] '' $false @{} } else { Invoke-Remediate $Wanted[0] $Wanted[1] '' @{} }
        $want = if (-not $Valid) { "^Invalid (wanted )?value $Value`:" } elseif ($Script -eq 'Detect') { '^Not compliant' } else { "^set $($Wanted -join ' ')$" }
        $outcome.Text | Should -Match $want
        Should -Invoke Invoke-Pacecap -Times ([int]$Valid) -Exactly -ParameterFilter { $Arguments -eq '0' }
    }
    # Beside the system folder Windows names, D:\WinNT\System32.
    It 'runs again in <Want> from <Bits>-bit <Edition> on a <System>-bit system (Register: <Needs>)' -ForEach @(
        @{ System = 64; Bits = 32; Edition = 'Desktop'; Needs = $false; Want = 'D:\WinNT\Sysnative\WindowsPowerShell\v1.0\powershell.exe' }
        @{ System = 32; Bits = 32; Edition = 'Desktop'; Needs = $true; Want = '' }
        @{ System = 64; Bits = 64; Edition = 'Desktop'; Needs = $true; Want = '' }
        @{ System = 64; Bits = 64; Edition = 'Core'; Needs = $false; Want = '' }
        @{ System = 64; Bits = 64; Edition = 'Core'; Needs = $true; Want = 'D:\WinNT\System32\WindowsPowerShell\v1.0\powershell.exe' }  # hole 8
        @{ System = 32; Bits = 32; Edition = 'Core'; Needs = $true; Want = 'D:\WinNT\System32\WindowsPowerShell\v1.0\powershell.exe' }
    ) {
        Get-Relaunch ($System -eq 64) ($Bits -eq 64) $Edition 'D:\WinNT\System32' $Needs | Should -Be $Want
    }
    It 'passes the parameters given on, switches as switches' {
        $bound = [ordered]@{ PluggedIn = 95; Pacecap = 'C:\A B\Pacecap.exe'; ConfigMgr = [switch]$true; Remove = [switch]$false; OnBattery = '' }
        Get-RelaunchArguments $bound | Should -Be '-PluggedIn', '95', '-Pacecap', 'C:\A B\Pacecap.exe', '-ConfigMgr'
    }
    It 'quotes <Text> as <Want> on a command line' -ForEach @(
        @{ Text = '95'; Want = '95' }, @{ Text = ''; Want = '""' }, @{ Text = 'C:\A B\Pacecap.exe'; Want = '"C:\A B\Pacecap.exe"' }
        @{ Text = 'a"b'; Want = '"a\"b"' }, @{ Text = 'C:\A B\'; Want = '"C:\A B\\"' }
    ) {
        ConvertTo-Argument $Text | Should -BeExactly $Want
    }
    It 'runs again with -NonInteractive, bounded, and a stopped run exits <Code> with a line that says so' -ForEach @(
        @{ Stopped = $true; Code = 3; Text = '^The run in C:\\W\\powershell.exe was stopped: it did not end within 240 seconds' }
        @{ Stopped = $false; Code = 2; Text = '^done$' }
    ) {
        Mock Invoke-Program { if ($Stopped) { @{ Output = 'half'; Stopped = "it did not end within $Seconds seconds and was stopped" } } else { @{ Output = "done`r`n"; Code = 2 } } } -ParameterFilter {
            $Exe -eq 'C:\W\powershell.exe' -and $Seconds -eq 240 -and
            $Arguments -eq '-NoProfile -NonInteractive -ExecutionPolicy Bypass -File "C:\Kit Dir\Remediate-Pacecap.ps1" -PluggedIn 95 -Pacecap "C:\A B\Pacecap.exe"' }
        $ran = Invoke-Relaunch 'C:\W\powershell.exe' 'C:\Kit Dir\Remediate-Pacecap.ps1' ([ordered]@{ PluggedIn = 95; Pacecap = 'C:\A B\Pacecap.exe' }) 3
        $ran.Code | Should -Be $Code
        $ran.Text | Should -Match $Text
        Should -Invoke Invoke-Program -Times 1 -Exactly
    }
    It '<Script>, run again and stopped at the bound, exits <Code>' -ForEach @(@{ Script = 'Detect'; Code = 4 }, @{ Script = 'Remediate'; Code = 3 }, @{ Script = 'Register'; Code = 6 }) {
        # Whether to run again comes from the Sysnative read, never from Is64BitOperatingSystem.
        Mock Read-Wow64 -ParameterFilter { $SystemDirectory -eq 'C:\Windows\System32' } { $false }
        Mock Get-Relaunch -ParameterFilter { -not $System64 -and $SystemDirectory -eq 'C:\Windows\System32' } { 'C:\W\powershell.exe' }
        Mock Invoke-Program -ParameterFilter { $Exe -eq 'C:\W\powershell.exe' -and $Seconds -eq 240 } { @{ Output = 'half'; Stopped = 'it did not end within 240 seconds and was stopped' } }
        $outcome = switch ($Script) { 'Detect' { Invoke-Detect 99 80 '' $false @{} } 'Remediate' { Invoke-Remediate 99 80 '' @{} } 'Register' { Invoke-Register 99 80 '' $false @{} } }
        $outcome.Code | Should -Be $Code
        $outcome.Text | Should -Match '^The run in C:\\W\\powershell.exe was stopped: it did not end'
    }
    It 'the <Name> folder that Windows gives as <Case>' -ForEach @(
        @{ Name = 'ProgramFiles'; Case = 'the x86 one: taken'; Given = 'C:\Program Files (x86)' }
        @{ Name = 'System'; Case = 'in other letters: taken'; Given = 'C:\WINDOWS\system32' }
        foreach ($name in 'ProgramFiles', 'System') {
            @{ Name = $name; Case = 'a read that fails'; Given = { throw 'Access is denied' }; Shown = '(Access is denied)' }
            @{ Name = $name; Case = 'nothing'; Given = { }; Shown = '' }
        }
        @{ Name = 'ProgramFiles'; Case = 'an empty text'; Given = ''; Shown = '' }
        @{ Name = 'ProgramFiles'; Case = 'an environment name, not expanded'; Given = '%ProgramFiles%'; Shown = '%ProgramFiles%' }
        @{ Name = 'ProgramFiles'; Case = 'a relative path'; Given = 'Program Files'; Shown = 'Program Files' }
        @{ Name = 'System'; Case = 'a UNC path'; Given = '\\server\share\System32'; Shown = '\\server\share\System32' }
        @{ Name = 'ProgramFiles'; Case = 'a trailing separator'; Given = 'C:\Program Files\'; Shown = 'C:\Program Files\' }
        @{ Name = 'ProgramFiles'; Case = 'no text'; Given = [byte[]](67, 58, 92); Shown = '67 58 92' }
    ) {
        Mock "Read-$(if ($Name -eq 'System') { 'SystemDirectory' } else { 'ProgramFiles' })" { Get-Fact $Given }
        Mock Invoke-Program { throw "started $Exe" }
        if ($null -eq $Shown) { Get-SystemFolder $Name | Should -BeExactly $Given; return }
        { Get-SystemFolder $Name } | Should -Throw "the $Name folder was not read from Windows as a full local path: '$Shown'"
        # Nothing started: an elevated run, and a standard user's, each fails closed.
        foreach ($account in $SystemAccount, $Standard) {
            Mock Read-Account { $account }
            foreach ($outcome in (Invoke-Detect 99 80 '' $false @{}), (Invoke-Remediate 99 80 '' @{})) {
                $outcome.Code | Should -Be 4
                $outcome.Text | Should -Match "^(Not run|Pacecap.exe was not looked for), as the $Name folder was not read from Windows"
            }
        }
    }
}

Describe 'Register' {
    BeforeAll {
        # Security that Windows gives a new item that is not set whole (or
        # where it sets what it likes, $Loose): its folder's entries, CREATOR
        # OWNER as the owner the policy names.
        function Made($Security) {
            if ($Security.Protected -and -not $Loose) { return $Security }
            @{ Owner = $PolicyOwner; Entries = @((Allow $SY $F), (Allow $BA $F), (Allow $BU $RX), (Allow $PolicyOwner $F)) }
        }
        $Vendor = 'C:\Program Files\Vendor\Pacecap.exe'
        # The Task Scheduler's cmdlets, which only Windows has, with the
        # parameters the scripts use. Those that build a part of the task
        # give back what they were given, so that the task that reaches
        # Register-ScheduledTask can be read back.
        function Get-ScheduledTask { [CmdletBinding()] param($TaskPath, $TaskName) }
        function Stop-ScheduledTask { [CmdletBinding()] param($TaskPath, $TaskName) }
        function Unregister-ScheduledTask { [CmdletBinding(SupportsShouldProcess = $true)] param($TaskPath, $TaskName) }
        function Register-ScheduledTask { [CmdletBinding()] param($TaskPath, $TaskName, $Action, $Trigger, $Principal, $Settings, $Description, [switch]$Force) }
        function New-ScheduledTaskAction { [CmdletBinding()] param($Execute, $Argument) [hashtable]$PSBoundParameters }
        function New-ScheduledTaskTrigger { [CmdletBinding()] param([switch]$AtLogOn) [hashtable]$PSBoundParameters }
        function New-ScheduledTaskPrincipal { [CmdletBinding()] param($UserId, $LogonType, $RunLevel) [hashtable]$PSBoundParameters }
        function New-ScheduledTaskSettingsSet { [CmdletBinding()] param([switch]$AllowStartIfOnBatteries, [switch]$DontStopIfGoingOnBatteries,
            [switch]$StartWhenAvailable, $MultipleInstances, $ExecutionTimeLimit) [hashtable]$PSBoundParameters }
        function Get-CimClass { [CmdletBinding()] param($ClassName, $Namespace) [hashtable]$PSBoundParameters }
        function New-CimInstance { [CmdletBinding()] param($CimClass, [switch]$ClientOnly) [hashtable]$PSBoundParameters }
        # A machine with Vendor\Pacecap.exe as an administrator unpacked it,
        # where new items get $PolicyOwner as owner. -Unzipped: Pacecap.exe
        # in %ProgramFiles%\Pacecap too; -Installed: the task and its folder.
        function New-Machine([switch]$Unzipped, [switch]$Installed) {
            $acls = Stock $PolicyOwner
            $acls[$Vendor], $acls['C:\Program Files\Vendor'] = (Stock)['C:\Program Files\Pacecap\Pacecap.exe', 'C:\Program Files\Pacecap']
            if (-not $Unzipped) { $acls.Remove('C:\Program Files\Pacecap'); $acls.Remove('C:\Program Files\Pacecap\Pacecap.exe') }
            Set-Machine $acls
            $Fs[$Vendor].Bytes = [byte[]](1, 2)
            if (-not $Installed) { return }
            # As Windows shows what Register made.
            if (-not $Unzipped) { $Fs['C:\Program Files\Pacecap'] = @{ Attributes = 0x10; Security = @{ Owner = $BA; Entries = @((Allow $SY $F), (Allow $BA $F), (Allow $BU $RX)) } } }
            foreach ($name in '', '\Pacecap.exe', '\Remediate-Pacecap.ps1') {
                $Fs["C:\Program Files\Pacecap\Task$name"] = @{ Attributes = $(if ($name) { 0x20 } else { 0x10 }); Security = @{ Owner = $BA; Entries = @((Allow $SY $F), (Allow $BA $F)) } } }
            $Fs['\Pacecap'] = @{ TaskName = 'Pacecap' }
        }
        $Parameters = @{ PluggedIn = 96 }
        Mock Read-Security { $Fs[$Path].Security }
        Mock Read-Attributes { $Fs[$Path].Attributes }
        Mock Read-Drive { $Drive }
        Mock Read-MachinePath { '' }
        Mock Read-Account { if ($Elevated -eq 'unread') { throw 'no' } elseif ($Elevated -eq $false) { $Standard } else { $ElevatedAdmin } }
        Mock Read-Bytes { $Fs[$Path].Bytes }
        Mock Get-TaskScript { @{ Bytes = [byte[]](3) } }
        Mock Start-Sleep { }
        # What changes the machine is recorded in order, below %ProgramFiles%.
        $Calls = [Collections.Generic.List[string]]::new()
        function Get-Short([string]$Path) { $Path.Replace('C:\Program Files\', '') }
        Mock New-SecureFolder { $Calls.Add("folder $(Get-Short $Path)"); $Fs[$Path] = @{ Attributes = 0x10; Security = Made $Security } }
        Mock Write-SecureFile { $Calls.Add("file $(Get-Short $Path)"); $Fs[$Path] = @{ Attributes = 0x20; Security = Made $Security; Bytes = $Bytes } }
        Mock Remove-Folder { $Calls.Add("remove $(Get-Short $Path)")
            foreach ($key in @($Fs.Keys)) { if ($key -eq $Path -or $key.StartsWith("$Path\")) { $Fs.Remove($key) } } }
        Mock Move-Folder { if ($Fs[$To]) { throw "$To exists" }; $Calls.Add("move $(Get-Short $From) to $(Get-Short $To)")
            foreach ($key in @($Fs.Keys)) { if ($key -eq $From -or $key.StartsWith("$From\")) { $Fs[$To + $key.Substring($From.Length)] = $Fs[$key]; $Fs.Remove($key) } } }
        Mock Read-Tree { foreach ($key in @($Fs.Keys | Sort-Object)) { if ($key -eq $Path -or $key.StartsWith("$Path\")) { @{ Path = $key; Attributes = $Fs[$key].Attributes } } } }
        # The task Pacecap in the root folder only: a task of that name in another folder is someone else's.
        foreach ($cmdlet in 'Get-ScheduledTask', 'Stop-ScheduledTask', 'Unregister-ScheduledTask', 'Register-ScheduledTask') { Mock $cmdlet { $Calls.Add("another task: $TaskPath $TaskName") } }
        Mock Get-ScheduledTask -ParameterFilter { $TaskPath -eq '\' -and $TaskName -eq 'Pacecap' } { $Fs['\Pacecap'] }
        Mock Stop-ScheduledTask -ParameterFilter { $TaskPath -eq '\' -and $TaskName -eq 'Pacecap' } { $Calls.Add('stop') }
        Mock Unregister-ScheduledTask -ParameterFilter { $TaskPath -eq '\' -and $TaskName -eq 'Pacecap' -and $Confirm -eq $false } {
            if ($Fails) { throw 'no' }; $Calls.Add('unregister'); $Fs.Remove('\Pacecap') }
        # Registered over the old task (-Force), which is never removed first.
        Mock Register-ScheduledTask -ParameterFilter { $TaskPath -eq '\' -and $TaskName -eq 'Pacecap' -and $Force } {
            if ($Fails) { throw 'no' }; $Calls.Add('register'); $Fs['\Pacecap'] = [hashtable]$PesterBoundParameters }
        # Run again in Windows PowerShell, with the parameters it was given.
        Mock Start-Relaunch { $Calls.Add('not moved to Windows PowerShell') }
        Mock Start-Relaunch -ParameterFilter { $NeedsWindowsPowerShell -and (Split-Path -Leaf $Script) -eq 'Register-PacecapTask.ps1' -and [object]::ReferenceEquals($Bound, $Parameters) } { }
    }
    BeforeEach {
        $PolicyOwner = $BA
        $Calls.Clear()
    }
    It '<Name>: exit <Code>' -ForEach @(
        @{ Name = 'not elevated'; Elevated = $false; Code = 5; Text = '^Run this from an administrator prompt'; Steps = @() }
        @{ Name = 'a token that cannot be read'; Elevated = 'unread'; Code = 5; Text = '^Run this from an administrator prompt'; Steps = @() }
        @{ Name = 'Program Files not read from Windows'; Set = { Mock Read-ProgramFiles { throw 'no' } }; Code = 4; Steps = @()
            Text = "^Not run, as the ProgramFiles folder was not read from Windows as a full local path: '\(no\)'; nothing changed$" }
        @{ Name = 'an invalid value'; Values = 99, 101; Code = 1; Text = '^Invalid value 101'; Steps = @() }
        @{ Name = 'no Pacecap.exe'; Given = 'C:\None\Pacecap.exe'; Code = 4; Text = 'not found.*; nothing changed$'; Steps = @() }
        @{ Name = 'Administrators own new items'; Code = 0; Text = '^Task Pacecap registered: C:\\Program Files\\Pacecap\\Task\\Remediate'
            Steps = 'folder Pacecap', 'folder Pacecap\Task.new', 'file Pacecap\Task.new\Pacecap.exe', 'file Pacecap\Task.new\Remediate-Pacecap.ps1',
                'move Pacecap\Task.new to Pacecap\Task', 'register' }
        @{ Name = 'hole 4: new items owned by their creator'; Owner = 'S-1-5-21-7-7-7-1001'; Code = 0; Text = '^Task Pacecap registered'
            Steps = 'folder Pacecap', 'folder Pacecap\Task.new', 'file Pacecap\Task.new\Pacecap.exe', 'file Pacecap\Task.new\Remediate-Pacecap.ps1',
                'move Pacecap\Task.new to Pacecap\Task', 'register' }
        @{ Name = 'hole 4: an unzipped folder owned by its creator'; Owner = 'S-1-5-21-7-7-7-1001'; Unzipped = $true; Code = 4; Steps = @()
            Text = '^Refused C:\\Program Files\\Pacecap.*icacls "C:\\Program Files\\Pacecap" /setowner \*S-1-5-32-544 /T /C /Q, then icacls .* /reset .*; nothing changed$' }
        @{ Name = 'hole 4: that folder, with -Pacecap naming a trusted one'; Owner = 'S-1-5-21-7-7-7-1001'; Unzipped = $true; Given = 'C:\Program Files\Vendor\Pacecap.exe'; Code = 4
            Steps = @(); Text = '^Refused C:\\Program Files\\Pacecap, .*files in C:\\Program Files\\Pacecap\. Put it in C:\\Program Files\\Pacecap, .*; nothing changed$' }
        @{ Name = 'again over a link in the task''s folder'; Installed = $true; Code = 4; Steps = @(); Set = { $Fs['C:\Program Files\Pacecap\Task\Logs'] = @{ Attributes = 0x410 } }
            Text = '^Refused C:\\Program Files\\Pacecap\\Task\\Logs, as it is a link that this did not make; nothing changed$' }
        @{ Name = 'Windows sets what new items get, not the security given: the copies refused'; Owner = 'S-1-5-21-7-7-7-1001'; Loose = $true; Code = 4
            Text = '^Refused C:\\Program Files\\Pacecap\\Task.new\\Pacecap.exe, .* change or delete it; the task is left as it was$'
            Steps = 'folder Pacecap', 'folder Pacecap\Task.new', 'file Pacecap\Task.new\Pacecap.exe', 'file Pacecap\Task.new\Remediate-Pacecap.ps1' }
        @{ Name = 'again over the task: the new copy is whole before it takes the old one''s place, the task registered over the old one'; Installed = $true; Code = 0
            Text = '^Task Pacecap registered'; Steps = 'folder Pacecap\Task.new', 'file Pacecap\Task.new\Pacecap.exe', 'file Pacecap\Task.new\Remediate-Pacecap.ps1', 'stop',
                'move Pacecap\Task to Pacecap\Task.old', 'move Pacecap\Task.new to Pacecap\Task', 'register', 'remove Pacecap\Task.old' }
        @{ Name = 'again over a half-made copy and an old one left by failed runs: they go first'; Installed = $true; Code = 0; Text = '^Task Pacecap registered'
            Set = { foreach ($name in 'new', 'old') { $Fs["C:\Program Files\Pacecap\Task.$name"] = $Fs['C:\Program Files\Pacecap\Task'] } }
            Steps = 'remove Pacecap\Task.new', 'remove Pacecap\Task.old', 'folder Pacecap\Task.new', 'file Pacecap\Task.new\Pacecap.exe', 'file Pacecap\Task.new\Remediate-Pacecap.ps1', 'stop',
                'move Pacecap\Task to Pacecap\Task.old', 'move Pacecap\Task.new to Pacecap\Task', 'register', 'remove Pacecap\Task.old' }
        @{ Name = 'the task cannot be registered'; Fails = $true; Code = 6; Text = '^The task could not be registered: no'
            Steps = 'folder Pacecap', 'folder Pacecap\Task.new', 'file Pacecap\Task.new\Pacecap.exe', 'file Pacecap\Task.new\Remediate-Pacecap.ps1',
                'move Pacecap\Task.new to Pacecap\Task' }
        @{ Name = '-Remove'; Remove = $true; Installed = $true; Code = 0; Text = '^Task Pacecap removed'; Steps = 'stop', 'unregister', 'remove Pacecap\Task', 'remove Pacecap' }
        @{ Name = '-Remove where Pacecap.exe is installed beside the task''s folder'; Remove = $true; Installed = $true; Unzipped = $true; Code = 0
            Text = '^Task Pacecap removed'; Steps = 'stop', 'unregister', 'remove Pacecap\Task' }
        @{ Name = '-Remove with nothing installed'; Remove = $true; Code = 0; Text = '^Task Pacecap removed'; Steps = @() }
        @{ Name = '-Remove with copies left by failed runs'; Remove = $true; Installed = $true; Code = 0; Text = '^Task Pacecap removed'
            Set = { foreach ($name in 'new', 'old') { $Fs["C:\Program Files\Pacecap\Task.$name"] = $Fs['C:\Program Files\Pacecap\Task'] } }
            Steps = 'stop', 'unregister', 'remove Pacecap\Task', 'remove Pacecap\Task.new', 'remove Pacecap\Task.old', 'remove Pacecap' }
        @{ Name = '-Remove that fails'; Remove = $true; Installed = $true; Fails = $true; Code = 6; Text = '^The task could not be removed: no'; Steps = @('stop') }
        @{ Name = '-Remove from a folder standard users can change'; Remove = $true; Owner = 'S-1-5-21-7-7-7-1001'; Unzipped = $true; Code = 4
            Text = '^Refused C:\\Program Files\\Pacecap, .*; nothing changed$'; Steps = @() }
        @{ Name = '-Remove from a folder whose attributes Users may write'; Remove = $true; Unzipped = $true; Code = 4; Steps = @()
            Set = { $Fs['C:\Program Files\Pacecap'].Security.Entries += Allow $BU 0x100 }; Text = '^Refused C:\\Program Files\\Pacecap, .*files in C:\\Program Files\\Pacecap\. .*; nothing changed$' }
        @{ Name = '-Remove over a link in the task''s folder'; Remove = $true; Unzipped = $true; Installed = $true; Code = 4; Steps = @()
            Set = { $Fs['C:\Program Files\Pacecap\Task\Logs'] = @{ Attributes = 0x410 } }
            Text = '^Refused C:\\Program Files\\Pacecap\\Task\\Logs, as it is a link that this did not make; nothing changed$' }
    ) {
        if ($Owner) { $PolicyOwner = $Owner }
        New-Machine -Unzipped:([bool]$Unzipped) -Installed:([bool]$Installed)
        if ($Set) { . $Set }
        $plugged, $battery = if ($Values) { $Values } else { 96, 82 }
        $outcome = Invoke-Register $plugged $battery $(if ($Given) { $Given } elseif (-not $Unzipped) { $Vendor }) ([bool]$Remove) $Parameters
        $outcome.Text | Should -Match $Text
        $outcome.Code | Should -Be $Code
        $Calls -join ', ' | Should -Be ($Steps -join ', ')
    }
    It 'registering again with the task''s own copy, a failure at <Step> <From> leaves the old task and a copy' -ForEach @(
        @{ Step = 'no step'; Code = 0 }, @{ Step = 'New-SecureFolder'; Code = 6 }, @{ Step = 'Write-SecureFile'; Code = 6 }, @{ Step = 'Stop-Task'; Code = 6 }
        @{ Step = 'Move-Folder'; From = 'Task'; Code = 6 }, @{ Step = 'Move-Folder'; From = 'Task.new'; Code = 6 }, @{ Step = 'Register-Task'; Code = 6 }
    ) {
        New-Machine -Installed
        $own = 'C:\Program Files\Pacecap\Task\Pacecap.exe'
        $Fs[$own].Bytes = [byte[]](7, 7)
        $old = $Fs['\Pacecap']
        if ($Step -ne 'no step') { Mock $Step { throw 'no' } -ParameterFilter $(if ($From) { [scriptblock]::Create("`$From -like '*\$From'") } else { { $true } }) }
        $outcome = Invoke-Register 96 82 $own $false $Parameters
        $outcome.Code | Should -Be $Code
        [object]::ReferenceEquals($Fs['\Pacecap'], $old) | Should -Be ([bool]$Code)
        if (-not $Code) { $Fs['\Pacecap'].Action.Argument | Should -Match '-Pacecap "C:\\Program Files\\Pacecap\\Task\\Pacecap.exe" -PluggedIn 96 -OnBattery 82$' }
        $Fs[$own].Bytes | Should -Be 7, 7
        if (-not $Code) { @($Fs.Keys | Where-Object { $_ -like '*\Task.*' }) | Should -BeNullOrEmpty }
        $Calls | Should -Not -Contain 'unregister'
    }
    It 'takes <Wanted>: <Valid>' -ForEach @(foreach ($value in 0, 100, -1, 101) {
            foreach ($wanted in @($value, 82), @(96, $value)) { @{ Wanted = $wanted; Value = $value; Valid = $value -in 0, 100 } } }) {
        New-Machine
        $outcome = Invoke-Register $Wanted[0] $Wanted[1] $Vendor $false $Parameters
        if ($Valid) {
            $outcome.Code | Should -Be 0
            $Fs['\Pacecap'].Action.Argument | Should -Match "-PluggedIn $($Wanted[0]) -OnBattery $($Wanted[1])$"
        } else {
            $outcome.Text | Should -Match "^Invalid value $Value`:"
            $Calls -join ', ' | Should -Be ''
        }
    }
    It 'the scheme-change query leaves out exactly the task''s own copy under <ProgramFiles>' -ForEach @(
        @{ ProgramFiles = 'C:\Program Files' }, @{ ProgramFiles = "C:\O'Brien's Files" }, @{ ProgramFiles = 'C:\A & B <x>' }
    ) {
        $own = "$ProgramFiles\Pacecap\Task\Pacecap.exe"
        $query = ([xml](Get-TaskDefinition "$ProgramFiles\Pacecap\Task" 'C:\Windows\System32' 96 82).Triggers[2].Subscription).QueryList.Query
        foreach ($path in $own, "$ProgramFiles\Pacecap\Pacecap.exe") {
            $event = New-Object Xml.XmlDocument
            $data = $event.AppendChild($event.CreateElement('Event')).AppendChild($event.CreateElement('EventData')).AppendChild($event.CreateElement('Data'))
            $data.SetAttribute('Name', 'ProcessPath')
            $data.InnerText = $path
            $event.SelectNodes($query.Suppress.'#text').Count | Should -Be ([int]($path -eq $own))
        }
    }
    Context 'the task, as it reaches the Task Scheduler' {
        BeforeAll {
            New-Machine
            (Invoke-Register 96 82 $Vendor $false $Parameters).Code | Should -Be 0
            $Task = $Fs['\Pacecap']
            # The action's command line, split as Windows splits one without quotes inside quotes.
            $Line = @([regex]::Matches($Task.Action.Argument, '"[^"]*"|[^ "]+') | ForEach-Object { $_.Value.Trim('"') })
        }
        It '<What>' -ForEach @(
            @{ What = 'triggers: at logon, then two events 10 s later'; Get = { $Task.Trigger | ForEach-Object { "$($_.AtLogOn)|$($_.CimClass.ClassName)|$($_.CimClass.Namespace)|$($_.Enabled)|$($_.Delay)" } }
                Want = 'True||||', '|MSFT_TaskEventTrigger|Root/Microsoft/Windows/TaskScheduler|True|PT10S', '|MSFT_TaskEventTrigger|Root/Microsoft/Windows/TaskScheduler|True|PT10S' }
            @{ What = 'resume events selected'; Get = { ([xml]$Task.Trigger[1].Subscription).QueryList.Query.Select | ForEach-Object '#text' }
                Want = "*[System[Provider[@Name='Microsoft-Windows-Power-Troubleshooter'] and EventID=1]]",
                    "*[System[Provider[@Name='Microsoft-Windows-Kernel-Power'] and EventID=107]]", "*[System[Provider[@Name='Microsoft-Windows-Kernel-Power'] and EventID=507]]" }
            @{ What = 'hole 6: scheme changes, less those of the exe the task runs'; Get = { $q = ([xml]$Task.Trigger[2].Subscription).QueryList.Query; $q.Select.'#text'; $q.Suppress.'#text' }
                Want = "*[System[Provider[@Name='Microsoft-Windows-UserModePowerService'] and EventID=12]]",
                    "*[EventData[Data[@Name='ProcessPath']='C:\Program Files\Pacecap\Task\Pacecap.exe']]" }
            @{ What = 'hole 6: the action runs the task''s copies in Windows PowerShell, paths quoted'; Get = { $Task.Action.Execute; $Line }
                Want = 'C:\Windows\System32\WindowsPowerShell\v1.0\powershell.exe', '-NoProfile', '-NonInteractive', '-ExecutionPolicy', 'Bypass',
                    '-File', 'C:\Program Files\Pacecap\Task\Remediate-Pacecap.ps1', '-Pacecap', 'C:\Program Files\Pacecap\Task\Pacecap.exe', '-PluggedIn', '96', '-OnBattery', '82' }
            @{ What = 'those copies are the files just written: the script, and the bytes of the exe that was checked'; Get = { $Fs[$Line[5]].Bytes; $Fs[$Line[7]].Bytes }; Want = 3, 1, 2 }
            @{ What = 'as SYSTEM, elevated'; Get = { $Task.Principal.UserId, $Task.Principal.LogonType, $Task.Principal.RunLevel }; Want = 'S-1-5-18', 'ServiceAccount', 'Highest' }
            @{ What = 'on battery too, one run at a time'; Get = { $s = $Task.Settings; [bool]$s.AllowStartIfOnBatteries, [bool]$s.DontStopIfGoingOnBatteries, [bool]$s.StartWhenAvailable, $s.MultipleInstances }
                Want = $true, $true, $true, 'IgnoreNew' }
            @{ What = 'hole 7: five minutes to run'; Get = { $Task.Settings.ExecutionTimeLimit.TotalMinutes }; Want = 5 }
            @{ What = 'task folder and files: Administrators own them, no one else may use them, nothing inherited'
                Get = { ConvertTo-Sddl $Fs['C:\Program Files\Pacecap\Task'].Security $true; ConvertTo-Sddl $Fs[$Line[7]].Security $false }
                Want = 'O:S-1-5-32-544D:P(A;OICI;0x1F01FF;;;S-1-5-18)(A;OICI;0x1F01FF;;;S-1-5-32-544)', 'O:S-1-5-32-544D:P(A;;0x1F01FF;;;S-1-5-18)(A;;0x1F01FF;;;S-1-5-32-544)' }
        ) {
            & $Get | Should -Be $Want
        }
    }
}

Describe 'The volume and token reads' {
    It 'a letter <Case>' -ForEach @(
        @{ Case = 'with a volume: one'; Ran = @{ Output = "1`r`n"; Code = 0 }; Want = $true }
        @{ Case = 'with no volume (SUBST): none'; Ran = @{ Output = "0`r`n"; Code = 0 }; Want = $false }
        @{ Case = 'whose query failed: refused'; Ran = @{ Output = ''; Code = 1 } }
        @{ Case = 'whose query was stopped at its bound: refused'; Ran = @{ Output = "1`r`n"; Stopped = 'it did not end' } }
        @{ Case = 'whose query said nothing: refused'; Ran = @{ Output = ''; Code = 0 } }
    ) {
        # The query goes to a Windows PowerShell of its own, bounded, for this letter only.
        Mock Invoke-Program { $Ran } -ParameterFilter {
            $Exe -eq 'C:\Windows\System32\WindowsPowerShell\v1.0\powershell.exe' -and $Seconds -eq 60 -and
            $Arguments -match '^-NoProfile -NonInteractive -EncodedCommand (\S+)$' -and
            [Text.Encoding]::Unicode.GetString([Convert]::FromBase64String($Matches[1])) -like "*Win32_Volume*DriveLetter = 'C:'*-OperationTimeoutSec 30*" }
        if ($null -eq $Want) { { Read-Drive 'c' } | Should -Throw '*could not be read*' }
        else { (Read-Drive 'c').Volume | Should -Be $Want }
        Should -Invoke Invoke-Program -Times 1 -Exactly
    }
    It 'the token read <Case>' -ForEach @(
        @{ Case = 'takes the groups and the integrity level from whoami'; Want = 'S-1-5-21-7-7-7-1001|S-1-1-0 S-1-16-12288|12288'
            Ran = @{ Code = 0; Output = "`"Everyone`",`"Well-known group`",`"S-1-1-0`",`"Enabled group`"`r`n`"Mandatory Label\High Mandatory Level`",`"Label`",`"S-1-16-12288`",`"`"`r`n" } }
        @{ Case = 'throws when whoami failed'; Ran = @{ Output = ''; Code = 1 } }
        @{ Case = 'throws when whoami was stopped at its bound'; Ran = @{ Output = ''; Stopped = 'it did not end' } }
    ) {
        # whoami of the system folder Windows names, bounded: never one found by name.
        Mock Read-UserSid { $Admin }
        Mock Invoke-Program { throw "started $Exe" }
        Mock Invoke-Program { $Ran } -ParameterFilter { $Exe -eq 'C:\Windows\System32\whoami.exe' -and $Arguments -eq '/groups /fo csv /nh' -and $Seconds -eq 30 }
        if ($Want) { $read = Read-Account; "$($read.User)|$($read.Groups)|$($read.Integrity)" | Should -BeExactly $Want }
        else { { Read-Account } | Should -Throw 'whoami /groups failed: *' }
    }
    It 'refuses what is not a drive letter before it runs anything' {
        Mock Invoke-Program { throw 'ran' }
        { Read-Drive '\' } | Should -Throw '*not a drive letter*'
        Should -Invoke Invoke-Program -Times 0 -Exactly
    }
}

Describe 'Removal' {
    It 'removes a folder without following a link in it, and refuses before it deletes anything' {
        $root = Join-Path (Get-PSDrive TestDrive).Root 'remove'
        foreach ($folder in 'outside', 'Task\inner') { New-Item -ItemType Directory -Path "$root/$folder" -Force | Out-Null }
        foreach ($file in 'outside/keep', 'Task/a', 'Task/inner/b') { Set-Content -LiteralPath "$root/$file" -Value x }
        New-Item -ItemType SymbolicLink -Path "$root/Task/inner/link" -Target "$root/outside" | Out-Null
        # The link is listed, never what it leads to; a folder is deleted only when empty.
        @(Read-Tree "$root/Task" | ForEach-Object { $_.Path.Substring($root.Length).Replace('\', '/') }) | Sort-Object |
            Should -Be '/Task', '/Task/a', '/Task/inner', '/Task/inner/b', '/Task/inner/link'
        { Remove-Entry "$root/Task/inner" $true } | Should -Throw '*irectory*not empty*'
        { Remove-Folder "$root/Task" } | Should -Throw '*link* is a link that this did not make; nothing removed'
        foreach ($left in 'outside/keep', 'Task/a', 'Task/inner/b', 'Task/inner/link') { Test-Path -LiteralPath "$root/$left" | Should -BeTrue }
        Remove-Entry "$root/Task/inner/link" $true
        Remove-Folder "$root/Task"
        Test-Path -LiteralPath "$root/Task" | Should -BeFalse
        Test-Path -LiteralPath "$root/outside/keep" | Should -BeTrue
    }
}

Describe 'The released scripts' {
    BeforeAll {
        $Shared = [IO.File]::ReadAllText("$Deploy/shared/PacecapShared.ps1")
        $Released = Join-Path (Get-PSDrive TestDrive).Root 'released'
        New-Item -ItemType Directory -Path $Released | Out-Null
        foreach ($name in 'Detect-Pacecap.ps1', 'Remediate-Pacecap.ps1', 'Register-PacecapTask.ps1') {
            [IO.File]::WriteAllText("$Released/$name", (ConvertTo-Standalone ([IO.File]::ReadAllText("$Deploy/$name")) $Shared))
        }
        # Parses a script as Windows PowerShell 5.1 must: no errors, and none
        # of the syntax that only PowerShell 7 knows.
        function Test-Syntax([string]$Path) {
            $tokens = $errors = $null
            $ast = [Management.Automation.Language.Parser]::ParseFile($Path, [ref]$tokens, [ref]$errors)
            $newer = $ast.FindAll({ param($node)
                    $node.GetType().Name -in 'TernaryExpressionAst', 'PipelineChainAst' -or "$($node.Operator)" -in 'QuestionQuestion', 'QuestionQuestionEquals' -or
                    $node.NullConditional -or ($node.GetType().Name -eq 'ScriptBlockAst' -and $node.CleanBlock) -or
                    # Windows PowerShell reads a clean block as a command named clean.
                    ($node -is [Management.Automation.Language.CommandAst] -and $node.GetCommandName() -eq 'clean') }, $true)
            @($errors | ForEach-Object Message) + @($newer | ForEach-Object { "PowerShell 7 only: $_" })
        }
    }
    It '<Name> passes the 5.1 syntax check' -ForEach @(
        'Detect-Pacecap.ps1', 'Remediate-Pacecap.ps1', 'Register-PacecapTask.ps1', 'shared/PacecapShared.ps1' | ForEach-Object { @{ Name = $_ } }
    ) {
        Test-Syntax "$Deploy/$Name" | Should -BeNullOrEmpty
        if ($Name -notlike 'shared*') { Test-Syntax "$Released/$Name" | Should -BeNullOrEmpty }
    }
    It 'the check rejects <Code>' -ForEach @(
        '$a ? 1 : 2', '$a ?? 1', '$a ??= 1', 'a && b', 'a || b', '${a}?.b', 'function f { clean { } }' | ForEach-Object { @{ Code = $_ } }
    ) {
        Set-Content -LiteralPath "$Released/new.ps1" -Value $Code
        Test-Syntax "$Released/new.ps1" | Should -Not -BeNullOrEmpty
    }
    It 'the release puts the shared part, as it is, in place of the line that dot-sources it: <Case>' -ForEach @(
        @{ Case = 'CR LF'; Source = "a`r`n. `"`$PSScriptRoot\shared\PacecapShared.ps1`"`r`nb"; Want = "a`r`nS `$1 \`r`nb" }
        @{ Case = 'LF'; Source = "a`n. `"`$PSScriptRoot\shared\PacecapShared.ps1`"`nb"; Want = "a`nS `$1 \`r`nb" }
        @{ Case = 'a script without that line, left alone'; Source = "a`n# . `"`$PSScriptRoot\shared\PacecapShared.ps1`"`nb"; Want = "a`n# . `"`$PSScriptRoot\shared\PacecapShared.ps1`"`nb" }
    ) {
        ConvertTo-Standalone $Source "S `$1 \`r`n" | Should -BeExactly $Want
    }
    It 'a released script, with no shared file beside it, starts only the installed Pacecap.exe as SYSTEM' {
        . "$Released/Detect-Pacecap.ps1"
        foreach ($name in 'Invoke-Detect', 'Get-Exposure') { (Get-Command $name).ScriptBlock.File | Should -BeLike '*released?Detect-Pacecap.ps1' }
        Mock Read-Account { $SystemAccount }
        Mock Read-Security { $Fs[$Path].Security }
        Mock Read-Attributes { $Fs[$Path].Attributes }
        Mock Read-Drive { $Drive }
        Mock Invoke-Program { throw "started $Exe" }
        Mock Invoke-Program -ParameterFilter { $Exe -eq 'C:\Program Files\Pacecap\Pacecap.exe' -and $Arguments -eq '0' -and $Seconds -eq 60 } {
            @{ Output = "plugged-in value is 99%`r`non-battery value is 80%`r`n"; Code = 0 } }
        Set-Machine (Stock)
        (Invoke-Detect 99 80 '' $false @{}).Text | Should -BeExactly 'Compliant: plugged-in 99%, on-battery 80%'
        Should -Invoke Read-Security -ParameterFilter { $Path -eq 'C:\' } -Times 1 -Exactly
    }
    # Every read of the environment, each with why it may stay: none gives
    # a path that an elevated run starts, copies or trusts.
    It 'reads the environment in <Name> only where allowed' -ForEach @(
        @{ Name = 'Detect-Pacecap.ps1'; Allowed = @() }, @{ Name = 'Remediate-Pacecap.ps1'; Allowed = @() }, @{ Name = 'Register-PacecapTask.ps1'; Allowed = @() }
        @{ Name = 'shared/PacecapShared.ps1'; Allowed = @(
                # The machine's own PATH, from HKLM, for a standard user's own run.
                "Read-MachinePath: [Environment]::GetEnvironmentVariable('Path', 'Machine')"
                # A standard user's own run looks on its PATH, with its names.
                "Get-SearchFolders: [Environment]::ExpandEnvironmentVariables(`$folder.Trim().Trim('`"'))"
                # A standard user's own relative -Pacecap, from its current folder.
                'Resolve-Pacecap: Get-Location'
                'Resolve-Pacecap: $env:Path') }
    ) {
        # The temporary folder comes from TMP or TEMP, the current folder from whoever starts the run, and the known
        # folders give a 32-bit process the x86 Program Files.
        $named = 'GetTempPath', 'GetFolderPath', 'CurrentDirectory', 'Get-Location', 'gl', 'pwd', 'PWD', 'HOME'
        $ast = [Management.Automation.Language.Parser]::ParseFile("$Deploy/$Name", [ref]$null, [ref]$null)
        $reads = $ast.FindAll({ param($node) ($node -is [Management.Automation.Language.VariableExpressionAst] -and $node.VariablePath.DriveName -eq 'env') -or
                ($node -is [Management.Automation.Language.MemberExpressionAst] -and ("$($node.Member)" -like '*Environment*' -or $named -contains "$($node.Member)")) -or
                ($node -is [Management.Automation.Language.CommandAst] -and $named -contains $node.GetCommandName()) -or
                ($node -is [Management.Automation.Language.VariableExpressionAst] -and $named -contains $node.VariablePath.UserPath) -or
                ($node -is [Management.Automation.Language.StringConstantExpressionAst] -and $node.Value -like 'env:*') }, $true) | ForEach-Object {
            for ($in = $_; $in -isnot [Management.Automation.Language.FunctionDefinitionAst] -and $in; $in = $in.Parent) { }
            "$($in.Name): $_" }
        $reads -join "`n" | Should -BeExactly ($Allowed -join "`n")
    }
    It 'Register puts the shared part into the task''s script only from deploy/, and checks that file too' {
        Mock Get-Exposure { '' }
        Mock Read-Attributes { 0x20 }
        Mock Read-Bytes { [IO.File]::ReadAllBytes($Path.Replace('\', '/')) }
        $fromDeploy = Get-TaskScript $Deploy "$Deploy/shared/PacecapShared.ps1"
        [Text.Encoding]::ASCII.GetString($fromDeploy.Bytes) | Should -Be ([IO.File]::ReadAllText("$Released/Remediate-Pacecap.ps1"))
        Should -Invoke Get-Exposure -ParameterFilter { $Path -like '*PacecapShared.ps1' } -Times 1 -Exactly
        (Get-TaskScript $Released '').Bytes | Should -Be ([IO.File]::ReadAllBytes("$Released/Remediate-Pacecap.ps1"))
        # A released Register beside a Remediate-Pacecap.ps1 from deploy/ reads no shared file.
        (Get-TaskScript $Deploy '').Text | Should -Match 'does not stand alone: use the released one$'
        Should -Invoke Read-Bytes -ParameterFilter { $Path -like '*PacecapShared.ps1' } -Times 1 -Exactly
    }
}

Describe 'The guides in docs/' {
    It 'says <Why>' -ForEach @(
        @{ Why = 'hole 9: how Configuration Manager lets the scripts run'; File = 'rolling-out.md'; Text = 'PowerShell execution policy.{0,80}Bypass' }
        @{ Why = 'hole 4: the command that hands an unzipped folder to Administrators'; File = 'installing.md'; Text = 'icacls "C:\\Program Files\\Pacecap" /setowner \*S-1-5-32-544 /T /C /Q' }
        @{ Why = 'hole 5: winget and Scoop installs are refused by design'; File = 'rolling-out.md'; Text = 'WinGet\\Links' }
        @{ Why = 'the one trusted place'; File = 'rolling-out.md'; Text = 'start or copy only `%ProgramFiles%\\Pacecap\\Pacecap\.exe`.{0,120}the task''s own copy, or the file `-Pacecap`' }
        @{ Why = 'the refused path forms and the form named instead'; File = 'rolling-out.md'; Text = 'refusal names the form to use: `/` as a separator \(`C:\\Tools/Pacecap`\)' }
        @{ Why = 'exit 3 for a setting run stopped after it started'; File = 'rolling-out.md'; Text = '\*\*3\*\* a write or the apply step failed, or the setting run was stopped' }
        @{ Why = 'where the system paths come from'; File = 'rolling-out.md'; Text = '`ProgramFilesDir`.{0,120}64-bit view.{0,250}`GetSystemDirectory`.{0,200}No such path comes from the environment' }
        @{ Why = 'what the elevated PowerShell takes from the environment before any script runs'; File = 'rolling-out.md'; Text = 'before the script''s first line.{0,80}`Documents`.{0,20}`PSModulePath`.{0,80}`COR_ENABLE_PROFILING`' }
    ) {
        [IO.File]::ReadAllText("$PSScriptRoot/../../docs/$File") -replace '\s+', ' ' | Should -Match $Text
    }
}
