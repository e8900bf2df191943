# Detect-Pacecap.ps1 and Remediate-Pacecap.ps1, and running again in Windows PowerShell, run for real over facts given as data: the
# small functions that read Windows are mocked.
BeforeAll { . "$PSScriptRoot/DeploySetup.ps1" }
AfterAll { $env:ProgramFiles, $env:SystemRoot, $env:windir = $SavedEnv }

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
        @{ System = 64; Bits = 64; Edition = 'Core'; Needs = $true; Want = 'D:\WinNT\System32\WindowsPowerShell\v1.0\powershell.exe' }  # the registration needs Windows PowerShell, not PowerShell 7
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
