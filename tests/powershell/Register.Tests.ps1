# Register-PacecapTask.ps1, the volume and token reads, and removal without following links, run for real over facts given as data: the
# small functions that read Windows are mocked.
BeforeAll { . "$PSScriptRoot/DeploySetup.ps1" }
AfterAll { $env:ProgramFiles, $env:SystemRoot, $env:windir = $SavedEnv }

Describe 'Register' {
    BeforeAll {
        # Security that Windows gives a new item that is not set whole (or
        # where it sets what it likes, $Loose): its folder's entries, CREATOR
        # OWNER as the owner the policy names.
        function Made($Security) {
            if ($Security.Protected -and -not $Loose) { return $Security }
            @{ Owner = $PolicyOwner; Entries = @((Allow $SY $F), (Allow $BA $F), (Allow $BU $RX), (Allow $PolicyOwner $F)) }
        }
        $Vendor = 'C:\Program Files\Vendor\PacecapKeep.exe'
        $Package = 'C:\Program Files\Pacecap\PacecapKeep.exe'
        $Own = 'C:\Program Files\Pacecap\Task\PacecapKeep.exe'
        $Template = [IO.File]::ReadAllText("$Deploy/shared/PacecapTask.xml")
        # The Task Scheduler's cmdlets, which only Windows has, with the parameters the script uses.
        function Get-ScheduledTask { [CmdletBinding()] param($TaskPath, $TaskName) }
        function Stop-ScheduledTask { [CmdletBinding()] param($TaskPath, $TaskName) }
        function Unregister-ScheduledTask { [CmdletBinding(SupportsShouldProcess = $true)] param($TaskPath, $TaskName) }
        function Register-ScheduledTask { [CmdletBinding()] param($TaskPath, $TaskName, $Xml, $User, $Password, [switch]$Force) }
        # The keeper that the registered task runs.
        function Get-TaskKeeper { if ($Fs['\Pacecap']) { ([xml]$Fs['\Pacecap'].Xml).Task.Actions.Exec.Command.Trim('"') } }
        # A machine with Vendor\PacecapKeep.exe as an administrator unpacked it,
        # where new items get $PolicyOwner as owner. -Unzipped: Pacecap and its
        # keeper in %ProgramFiles%\Pacecap too, as the package installs them;
        # -Installed: the task and its folder, as this script made them;
        # -ByPackage: the task, as the package registered it.
        function New-Machine([switch]$Unzipped, [switch]$Installed, [switch]$ByPackage) {
            $acls = Stock $PolicyOwner
            $acls[$Package] = $acls['C:\Program Files\Pacecap\Pacecap.exe']
            $acls[$Vendor], $acls['C:\Program Files\Vendor'] = (Stock)['C:\Program Files\Pacecap\Pacecap.exe', 'C:\Program Files\Pacecap']
            if (-not $Unzipped) { foreach ($path in 'C:\Program Files\Pacecap', 'C:\Program Files\Pacecap\Pacecap.exe', $Package) { $acls.Remove($path) } }
            Set-Machine $acls
            $Fs[$Vendor].Bytes = [byte[]](1, 2)
            if ($Unzipped) { $Fs[$Package].Bytes = [byte[]](5, 5) }
            $keeper = if ($ByPackage) { $Package } elseif ($Installed) { $Own }
            if ($keeper) { $Fs['\Pacecap'] = @{ TaskName = 'Pacecap'; Xml = Get-TaskXml $Template $keeper 90 70 } }
            if (-not $Installed) { return }
            # As Windows shows what Register made.
            if (-not $Unzipped) { $Fs['C:\Program Files\Pacecap'] = @{ Attributes = 0x10; Security = @{ Owner = $BA; Entries = @((Allow $SY $F), (Allow $BA $F), (Allow $BU $RX)) } } }
            $Fs['C:\Program Files\Pacecap\Task'] = @{ Attributes = 0x10; Security = @{ Owner = $BA; Entries = @((Allow $SY $F), (Allow $BA $F)) } }
            $Fs[$Own] = @{ Attributes = 0x20; Security = $Fs['C:\Program Files\Pacecap\Task'].Security; Bytes = [byte[]](7, 7) }
        }
        $Parameters = @{ PluggedIn = 96 }
        Mock Read-Security { $Fs[$Path].Security }
        Mock Read-Attributes { $Fs[$Path].Attributes }
        Mock Read-Drive { $Drive }
        Mock Read-MachinePath { '' }
        Mock Read-Account { if ($Elevated -eq 'unread') { throw 'no' } elseif ($Elevated -eq $false) { $Standard } else { $ElevatedAdmin } }
        Mock Read-Bytes { $Fs[$Path].Bytes }
        Mock Get-TaskTemplate -ParameterFilter { $File -ceq "$Deploy\shared\PacecapTask.xml" } { @{ Xml = $Template } }
        Mock Start-Sleep { }
        # What changes the machine is recorded in order, below %ProgramFiles%;
        # after each change, the keeper that the task runs must be there whole.
        $Calls = [Collections.Generic.List[string]]::new()
        $Gaps = [Collections.Generic.List[string]]::new()
        function Add-Call([string]$Call) {
            $Calls.Add($Call.Replace('C:\Program Files\', ''))
            if ((Get-TaskKeeper) -and -not $Fs[(Get-TaskKeeper)].Bytes) { $Gaps.Add("$(Get-TaskKeeper) missing after: $Call") }
        }
        Mock New-SecureFolder { $Fs[$Path] = @{ Attributes = 0x10; Security = Made $Security }; Add-Call "folder $Path" }
        Mock Write-SecureFile { $Fs[$Path] = @{ Attributes = 0x20; Security = Made $Security; Bytes = $Bytes }; Add-Call "file $Path" }
        Mock Remove-Entry { $Fs.Remove($Path); Add-Call "delete $Path" }
        Mock Remove-Folder { foreach ($key in @($Fs.Keys)) { if ($key -eq $Path -or $key.StartsWith("$Path\")) { $Fs.Remove($key) } }; Add-Call "remove $Path" }
        # One rename within a folder, the old file replaced.
        Mock Move-Replacing -ParameterFilter { (Split-Path $From) -eq (Split-Path $To) } { $Fs[$To] = $Fs[$From]; $Fs.Remove($From); Add-Call "replace $To" }
        Mock Read-Tree { foreach ($key in @($Fs.Keys | Sort-Object)) { if ($key -eq $Path -or $key.StartsWith("$Path\")) { @{ Path = $key; Attributes = $Fs[$key].Attributes } } } }
        # The task Pacecap in the root folder only: a task of that name in another folder is someone else's.
        foreach ($cmdlet in 'Get-ScheduledTask', 'Stop-ScheduledTask', 'Unregister-ScheduledTask', 'Register-ScheduledTask') { Mock $cmdlet { $Calls.Add("another task: $TaskPath $TaskName") } }
        Mock Get-ScheduledTask -ParameterFilter { $TaskPath -eq '\' -and $TaskName -eq 'Pacecap' } { $Fs['\Pacecap'] }
        Mock Stop-ScheduledTask -ParameterFilter { $TaskPath -eq '\' -and $TaskName -eq 'Pacecap' } { Add-Call 'stop' }
        Mock Unregister-ScheduledTask -ParameterFilter { $TaskPath -eq '\' -and $TaskName -eq 'Pacecap' -and $Confirm -eq $false } {
            if ($Fails) { throw 'no' }; $Fs.Remove('\Pacecap'); Add-Call 'unregister' }
        # Registered over the old task (-Force), which is never removed first;
        # from the definition alone, which names SYSTEM: no user, no password.
        Mock Register-ScheduledTask -ParameterFilter { $TaskPath -eq '\' -and $TaskName -eq 'Pacecap' -and $Force -and -not $User -and -not $Password } {
            if ($Fails) { throw 'no' }; $Fs['\Pacecap'] = [hashtable]$PesterBoundParameters; Add-Call 'register' }
        # Run again in Windows PowerShell, with the parameters it was given.
        Mock Start-Relaunch { $Calls.Add('not moved to Windows PowerShell') }
        Mock Start-Relaunch -ParameterFilter { $NeedsWindowsPowerShell -and (Split-Path -Leaf $Script) -eq 'Register-PacecapTask.ps1' -and [object]::ReferenceEquals($Bound, $Parameters) } { }
    }
    BeforeEach {
        $PolicyOwner = $BA
        $Calls.Clear()
        $Gaps.Clear()
    }
    It '<Name>: exit <Code>' -ForEach @(
        @{ Name = 'not elevated'; Elevated = $false; Code = 5; Text = '^Run this from an administrator prompt'; Steps = @() }
        @{ Name = 'a token that cannot be read'; Elevated = 'unread'; Code = 5; Text = '^Run this from an administrator prompt'; Steps = @() }
        @{ Name = 'Program Files not read from Windows'; Set = { Mock Read-ProgramFiles { throw 'no' } }; Code = 4; Steps = @()
            Text = "^Not run, as the ProgramFiles folder was not read from Windows as a full local path: '\(no\)'; nothing changed$" }
        @{ Name = 'an invalid value'; Values = 99, 101; Code = 1; Text = '^Invalid value 101'; Steps = @() }
        @{ Name = 'no keeper'; Given = 'C:\None\PacecapKeep.exe'; Code = 4; Text = '^PacecapKeep.exe was not found: .*; nothing changed$'; Steps = @() }
        @{ Name = 'Administrators own new items: the keeper copied'; Code = 0; Text = '^Task Pacecap registered: C:\\Program Files\\Pacecap\\Task\\PacecapKeep.exe 96 82, as SYSTEM'
            Steps = 'folder Pacecap', 'folder Pacecap\Task', 'file Pacecap\Task\PacecapKeep.exe.new', 'replace Pacecap\Task\PacecapKeep.exe', 'register' }
        @{ Name = 'new items owned by the administrator who made them, as a policy may have it: each set whole as it is written, and registered'; Owner = 'S-1-5-21-7-7-7-1001'; Code = 0; Text = '^Task Pacecap registered'
            Steps = 'folder Pacecap', 'folder Pacecap\Task', 'file Pacecap\Task\PacecapKeep.exe.new', 'replace Pacecap\Task\PacecapKeep.exe', 'register' }
        @{ Name = 'the package installed: its keeper run in place, nothing copied'; Unzipped = $true; Code = 0; Steps = @('register')
            Text = '^Task Pacecap registered: C:\\Program Files\\Pacecap\\PacecapKeep.exe 96 82, as SYSTEM' }
        @{ Name = 'the package installed, -Keeper given: the package''s keeper all the same'; Unzipped = $true; Given = 'C:\Program Files\Vendor\PacecapKeep.exe'
            Code = 0; Steps = @('register'); Text = '^Task Pacecap registered: C:\\Program Files\\Pacecap\\PacecapKeep.exe 96 82' }
        @{ Name = 'the package installed over this script''s task: its keeper in place, the copy removed'; Unzipped = $true; Installed = $true; Code = 0
            Steps = 'register', 'remove Pacecap\Task'; Text = '^Task Pacecap registered: C:\\Program Files\\Pacecap\\PacecapKeep.exe 96 82' }
        @{ Name = 'an unzipped folder owned by the administrator who made it: its keeper refused, with the icacls commands that hand it to Administrators'; Owner = 'S-1-5-21-7-7-7-1001'; Unzipped = $true; Code = 4; Steps = @()
            Text = '^Refused C:\\Program Files\\Pacecap\\PacecapKeep.exe, .*icacls "C:\\Program Files\\Pacecap" /setowner \*S-1-5-32-544 /T /C /Q, then icacls .* /reset .*; nothing changed$' }
        @{ Name = 'that unzipped folder, with -Keeper naming a trusted keeper elsewhere: refused all the same, as the task''s copy goes into it'; Owner = 'S-1-5-21-7-7-7-1001'; Unzipped = $true; Given = 'C:\Program Files\Vendor\PacecapKeep.exe'; Code = 4
            Steps = @(); Text = '^Refused C:\\Program Files\\Pacecap, .*files in C:\\Program Files\\Pacecap\. Put it in C:\\Program Files\\Pacecap, .*; nothing changed$' }
        @{ Name = 'a keeper path that the definition cannot hold'; Set = { Mock Read-ProgramFiles { "C:\O'Brien's Files" } }; Code = 4; Steps = @()
            Text = "^Refused the keeper C:\\O'Brien's Files\\Pacecap\\Task\\PacecapKeep.exe, as its path holds one of & < > ' `", .*; nothing changed$" }
        @{ Name = 'again over a link in the task''s folder'; Installed = $true; Code = 4; Steps = @(); Set = { $Fs['C:\Program Files\Pacecap\Task\Logs'] = @{ Attributes = 0x410 } }
            Text = '^Refused C:\\Program Files\\Pacecap\\Task\\Logs, as it is a link that this did not make; nothing changed$' }
        @{ Name = 'Windows sets what new items get, not the security given: the copy refused'; Owner = 'S-1-5-21-7-7-7-1001'; Loose = $true; Code = 4
            Text = '^Refused C:\\Program Files\\Pacecap\\Task\\PacecapKeep.exe.new, .* change or delete it; the task is left as it was$'
            Steps = 'folder Pacecap', 'folder Pacecap\Task', 'file Pacecap\Task\PacecapKeep.exe.new' }
        @{ Name = 'again over the task: the new copy is whole beside the old one, then replaces it by one rename, the task registered over the old one'; Installed = $true
            Code = 0; Text = '^Task Pacecap registered'; Steps = 'file Pacecap\Task\PacecapKeep.exe.new', 'stop', 'replace Pacecap\Task\PacecapKeep.exe', 'register' }
        @{ Name = 'again over a half-made copy left by a stopped run: it goes first'; Installed = $true; Code = 0; Text = '^Task Pacecap registered'
            Set = { $Fs["$Own.new"] = @{ Attributes = 0x20 } }
            Steps = 'delete Pacecap\Task\PacecapKeep.exe.new', 'file Pacecap\Task\PacecapKeep.exe.new', 'stop', 'replace Pacecap\Task\PacecapKeep.exe', 'register' }
        @{ Name = 'the task cannot be registered'; Fails = $true; Code = 6; Text = '^The task could not be registered: no'
            Steps = 'folder Pacecap', 'folder Pacecap\Task', 'file Pacecap\Task\PacecapKeep.exe.new', 'replace Pacecap\Task\PacecapKeep.exe' }
        @{ Name = '-Remove'; Remove = $true; Installed = $true; Code = 0; Text = '^Task Pacecap removed'; Steps = 'stop', 'unregister', 'remove Pacecap\Task', 'remove Pacecap' }
        @{ Name = '-Remove of the task the package registered: the package''s files left'; Remove = $true; Unzipped = $true; ByPackage = $true; Code = 0
            Text = '^Task Pacecap removed; the limits stay as they are'; Steps = 'stop', 'unregister' }
        @{ Name = '-Remove where the package is installed beside the task''s folder'; Remove = $true; Installed = $true; Unzipped = $true; Code = 0
            Text = '^Task Pacecap removed'; Steps = 'stop', 'unregister', 'remove Pacecap\Task' }
        @{ Name = '-Remove with nothing installed'; Remove = $true; Code = 0; Text = '^Task Pacecap removed'; Steps = @() }
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
        New-Machine -Unzipped:([bool]$Unzipped) -Installed:([bool]$Installed) -ByPackage:([bool]$ByPackage)
        if ($Set) { . $Set }
        $plugged, $battery = if ($Values) { $Values } else { 96, 82 }
        $outcome = Invoke-Register $plugged $battery $(if ($Given) { $Given } elseif (-not $Unzipped) { $Vendor }) ([bool]$Remove) $Parameters
        $outcome.Text | Should -Match $Text
        $outcome.Code | Should -Be $Code
        $Gaps | Should -BeNullOrEmpty
        $Calls -join ', ' | Should -Be ($Steps -join ', ')
    }
    It 'registering again with the task''s own copy, a failure at <Step> leaves the old task and a whole keeper where it runs' -ForEach @(
        @{ Step = 'no step'; Code = 0 }, @{ Step = 'Write-SecureFile'; Code = 6 }, @{ Step = 'Stop-Task'; Code = 6 }, @{ Step = 'Move-Replacing'; Code = 6 }
        @{ Step = 'Register-Task'; Code = 6 }
    ) {
        New-Machine -Installed
        $old = $Fs['\Pacecap']
        if ($Step -ne 'no step') { Mock $Step { throw 'no' } -ParameterFilter { $true } }
        $outcome = Invoke-Register 96 82 $Own $false $Parameters
        $outcome.Code | Should -Be $Code
        [object]::ReferenceEquals($Fs['\Pacecap'], $old) | Should -Be ([bool]$Code)
        ([xml]$Fs['\Pacecap'].Xml).Task.Actions.Exec.Arguments | Should -Be $(if ($Code) { '90 70' } else { '96 82' })
        $Fs[$Own].Bytes | Should -Be 7, 7
        $Gaps | Should -BeNullOrEmpty
        $Calls | Should -Not -Contain 'unregister'
    }
    It 'takes <Wanted>: <Valid>' -ForEach @(foreach ($value in 0, 100, -1, 101) {
            foreach ($wanted in @($value, 82), @(96, $value)) { @{ Wanted = $wanted; Value = $value; Valid = $value -in 0, 100 } } }) {
        New-Machine
        $outcome = Invoke-Register $Wanted[0] $Wanted[1] $Vendor $false $Parameters
        if ($Valid) {
            $outcome.Code | Should -Be 0
            ([xml]$Fs['\Pacecap'].Xml).Task.Actions.Exec.Arguments | Should -BeExactly "$($Wanted[0]) $($Wanted[1])"
        } else {
            $outcome.Text | Should -Match "^Invalid value $Value`:"
            $Calls -join ', ' | Should -Be ''
        }
    }
    It 'refuses a keeper path holding <Char>, which the definition would need escaped' -ForEach @('&', '<', '>', "'", '"' | ForEach-Object { @{ Char = $_ } }) {
        { Get-TaskXml $Template "C:\A$($Char)B\PacecapKeep.exe" 96 82 } | Should -Throw "its path holds one of & < > ' `", *"
    }
    It 'puts a keeper path holding <Path> in the action and the query as it is' -ForEach @('{PLUGGEDIN}', '{ONBATTERY}' | ForEach-Object { @{ Path = "C:\$_\PacecapKeep.exe" } }) {
        $task = ([xml](Get-TaskXml $Template $Path 96 82)).Task
        $task.Actions.Exec.Command, ([xml]$task.Triggers.EventTrigger[1].Subscription).QueryList.Query.Suppress.'#text' |
            Should -BeExactly "`"$Path`"", "*[EventData[Data[@Name='ProcessPath']='$Path']]"
    }
    Context 'the task, as it reaches the Task Scheduler' {
        BeforeAll {
            New-Machine
            (Invoke-Register 96 82 $Vendor $false $Parameters).Code | Should -Be 0
            $Task = ([xml]$Fs['\Pacecap'].Xml).Task
            $Triggers = $Task.Triggers
            # The events a trigger's query selects and those it leaves out.
            function Get-Query($Trigger) { ([xml]$Trigger.Subscription).QueryList.Query }
        }
        It '<What>' -ForEach @(
            @{ What = 'the action: the copied keeper, quoted, as its path holds spaces, then the values, nothing else'; Get = { @($Task.Actions.Exec).Count; $Task.Actions.Exec.Command; $Task.Actions.Exec.Arguments }
                Want = 1, '"C:\Program Files\Pacecap\Task\PacecapKeep.exe"', '96 82' }
            @{ What = 'that keeper is the bytes of the one checked'; Get = { $Fs[$Task.Actions.Exec.Command.Trim('"')].Bytes }; Want = 1, 2 }
            @{ What = 'as SYSTEM, elevated'; Get = { $Task.Principals.Principal.UserId; $Task.Principals.Principal.RunLevel }; Want = 'S-1-5-18', 'HighestAvailable' }
            @{ What = 'triggers: at logon, then two events 10 s later'; Get = { foreach ($t in $Triggers.ChildNodes) { "$($t.LocalName)|$($t.Enabled)|$($t.Delay)" } }
                Want = 'LogonTrigger|true|', 'EventTrigger|true|PT10S', 'EventTrigger|true|PT10S' }
            @{ What = 'resume events selected, none left out'; Get = { $q = Get-Query $Triggers.EventTrigger[0]; $q.Select | ForEach-Object { "$($_.Path) $($_.'#text')" }; $null -eq $q.Suppress }
                Want = "System *[System[Provider[@Name='Microsoft-Windows-Power-Troubleshooter'] and EventID=1]]",
                    "System *[System[Provider[@Name='Microsoft-Windows-Kernel-Power'] and EventID=107]]", "System *[System[Provider[@Name='Microsoft-Windows-Kernel-Power'] and EventID=507]]", $true }
            @{ What = 'scheme changes, less those of the keeper the task runs, so that its own writes never start it again'; Get = { $q = Get-Query $Triggers.EventTrigger[1]; "$($q.Select.Path) $($q.Select.'#text')"; "$($q.Suppress.Path) $($q.Suppress.'#text')" }
                Want = "System *[System[Provider[@Name='Microsoft-Windows-UserModePowerService'] and EventID=12]]",
                    "System *[EventData[Data[@Name='ProcessPath']='C:\Program Files\Pacecap\Task\PacecapKeep.exe']]" }
            @{ What = 'settings: on battery too, one run at a time, a minute at most'; Get = { $s = $Task.Settings; $s.MultipleInstancesPolicy, $s.DisallowStartIfOnBatteries,
                    $s.StopIfGoingOnBatteries, $s.StartWhenAvailable, $s.ExecutionTimeLimit, $s.Enabled }; Want = 'IgnoreNew', 'false', 'false', 'true', 'PT1M', 'true' }
            @{ What = 'described with its values, no placeholder left'; Get = { $Task.RegistrationInfo.Description; $Fs['\Pacecap'].Xml -match '\{' }
                Want = 'Keeps the maximum processor state at 96 % plugged in and 82 % on battery (0: left as it is).', $false }
            @{ What = 'Pacecap''s folder, made as it was missing: Administrators own it, Users may read and run, nothing inherited'
                Get = { ConvertTo-Sddl $Fs['C:\Program Files\Pacecap'].Security $true }
                Want = 'O:S-1-5-32-544D:P(A;OICI;0x1F01FF;;;S-1-5-18)(A;OICI;0x1F01FF;;;S-1-5-32-544)(A;OICI;0x1200A9;;;S-1-5-32-545)' }
            @{ What = 'task folder and keeper: Administrators own them, no one else may use them, nothing inherited'
                Get = { ConvertTo-Sddl $Fs['C:\Program Files\Pacecap\Task'].Security $true; ConvertTo-Sddl $Fs[$Own].Security $false }
                Want = 'O:S-1-5-32-544D:P(A;OICI;0x1F01FF;;;S-1-5-18)(A;OICI;0x1F01FF;;;S-1-5-32-544)', 'O:S-1-5-32-544D:P(A;;0x1F01FF;;;S-1-5-18)(A;;0x1F01FF;;;S-1-5-32-544)' }
        ) {
            & $Get | Should -Be $Want
        }
        It 'the scheme-change query leaves out exactly the keeper the task runs' {
            $query = Get-Query $Triggers.EventTrigger[1]
            foreach ($path in $Own, $Package, $Vendor) {
                $event = New-Object Xml.XmlDocument
                $data = $event.AppendChild($event.CreateElement('Event')).AppendChild($event.CreateElement('EventData')).AppendChild($event.CreateElement('Data'))
                $data.SetAttribute('Name', 'ProcessPath')
                $data.InnerText = $path
                $event.SelectNodes($query.Suppress.'#text').Count | Should -Be ([int]($path -eq $Own))
            }
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
        # The query goes to a Windows PowerShell of its own, bounded, for this letter only, on a command line that reads as it runs.
        Mock Invoke-Program { $Ran } -ParameterFilter {
            $Exe -eq 'C:\Windows\System32\WindowsPowerShell\v1.0\powershell.exe' -and $Seconds -eq 60 -and $Arguments -ceq ('-NoProfile -NonInteractive -Command ' +
                '"@(Get-CimInstance -ClassName Win32_Volume -Filter ''DriveLetter = ''''C:'''''' -OperationTimeoutSec 30 -ErrorAction Stop).Count"') }
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
    It 'puts a file in the place of another by a rename that replaces it' {
        $root = (Get-PSDrive TestDrive).Root
        foreach ($name in 'old', 'new') { [IO.File]::WriteAllText("$root/$name", $name) }
        Move-Replacing "$root/new" "$root/old"
        [IO.File]::ReadAllText("$root/old") | Should -BeExactly 'new'
        Test-Path -LiteralPath "$root/new" | Should -BeFalse
    }
}
