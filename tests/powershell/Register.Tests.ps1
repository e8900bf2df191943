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
        @{ Name = 'new items owned by the administrator who made them, as a policy may have it: each set whole as it is written, and registered'; Owner = 'S-1-5-21-7-7-7-1001'; Code = 0; Text = '^Task Pacecap registered'
            Steps = 'folder Pacecap', 'folder Pacecap\Task.new', 'file Pacecap\Task.new\Pacecap.exe', 'file Pacecap\Task.new\Remediate-Pacecap.ps1',
                'move Pacecap\Task.new to Pacecap\Task', 'register' }
        @{ Name = 'an unzipped folder owned by the administrator who made it: refused, with the icacls commands that hand it to Administrators'; Owner = 'S-1-5-21-7-7-7-1001'; Unzipped = $true; Code = 4; Steps = @()
            Text = '^Refused C:\\Program Files\\Pacecap.*icacls "C:\\Program Files\\Pacecap" /setowner \*S-1-5-32-544 /T /C /Q, then icacls .* /reset .*; nothing changed$' }
        @{ Name = 'that unzipped folder, with -Pacecap naming a trusted exe elsewhere: refused all the same, as the task''s copies go into it'; Owner = 'S-1-5-21-7-7-7-1001'; Unzipped = $true; Given = 'C:\Program Files\Vendor\Pacecap.exe'; Code = 4
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
            @{ What = 'scheme changes, less those of the exe the task runs, so that its own writes never start it again'; Get = { $q = ([xml]$Task.Trigger[2].Subscription).QueryList.Query; $q.Select.'#text'; $q.Suppress.'#text' }
                Want = "*[System[Provider[@Name='Microsoft-Windows-UserModePowerService'] and EventID=12]]",
                    "*[EventData[Data[@Name='ProcessPath']='C:\Program Files\Pacecap\Task\Pacecap.exe']]" }
            @{ What = 'the action runs the task''s own copies, the exe whose changes are left out, in Windows PowerShell, paths quoted'; Get = { $Task.Action.Execute; $Line }
                Want = 'C:\Windows\System32\WindowsPowerShell\v1.0\powershell.exe', '-NoProfile', '-NonInteractive', '-ExecutionPolicy', 'Bypass',
                    '-File', 'C:\Program Files\Pacecap\Task\Remediate-Pacecap.ps1', '-Pacecap', 'C:\Program Files\Pacecap\Task\Pacecap.exe', '-PluggedIn', '96', '-OnBattery', '82' }
            @{ What = 'those copies are the files just written: the script, and the bytes of the exe that was checked'; Get = { $Fs[$Line[5]].Bytes; $Fs[$Line[7]].Bytes }; Want = 3, 1, 2 }
            @{ What = 'as SYSTEM, elevated'; Get = { $Task.Principal.UserId, $Task.Principal.LogonType, $Task.Principal.RunLevel }; Want = 'S-1-5-18', 'ServiceAccount', 'Highest' }
            @{ What = 'on battery too, one run at a time'; Get = { $s = $Task.Settings; [bool]$s.AllowStartIfOnBatteries, [bool]$s.DontStopIfGoingOnBatteries, [bool]$s.StartWhenAvailable, $s.MultipleInstances }
                Want = $true, $true, $true, 'IgnoreNew' }
            @{ What = 'a run that hangs is stopped after five minutes'; Get = { $Task.Settings.ExecutionTimeLimit.TotalMinutes }; Want = 5 }
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
