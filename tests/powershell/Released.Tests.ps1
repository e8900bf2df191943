# The released scripts and the guides that describe them, run for real over facts given as data: the
# small functions that read Windows are mocked.
BeforeAll { . "$PSScriptRoot/DeploySetup.ps1" }
AfterAll { $env:ProgramFiles, $env:SystemRoot, $env:windir = $SavedEnv }

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
        @{ Why = 'how Configuration Manager lets the scripts run whatever the execution policy'; File = 'rolling-out.md'; Text = 'PowerShell execution policy.{0,80}Bypass' }
        @{ Why = 'the command that hands an unzipped folder, owned by the administrator who made it, to Administrators'; File = 'installing.md'; Text = 'icacls "C:\\Program Files\\Pacecap" /setowner \*S-1-5-32-544 /T /C /Q' }
        @{ Why = 'that winget and Scoop installs, in folders of the user''s, are refused by design'; File = 'rolling-out.md'; Text = 'WinGet\\Links' }
        @{ Why = 'the one trusted place'; File = 'rolling-out.md'; Text = 'start or copy only `%ProgramFiles%\\Pacecap\\Pacecap\.exe`.{0,120}the task''s own copy, or the file `-Pacecap`' }
        @{ Why = 'the refused path forms and the form named instead'; File = 'rolling-out.md'; Text = 'refusal names the form to use: `/` as a separator \(`C:\\Tools/Pacecap`\)' }
        @{ Why = 'exit 3 for a setting run stopped after it started'; File = 'rolling-out.md'; Text = '\*\*3\*\* a write or the apply step failed, or the setting run was stopped' }
        @{ Why = 'where the system paths come from'; File = 'rolling-out.md'; Text = '`ProgramFilesDir`.{0,120}64-bit view.{0,250}`GetSystemDirectory`.{0,200}No such path comes from the environment' }
        @{ Why = 'what the elevated PowerShell takes from the environment before any script runs'; File = 'rolling-out.md'; Text = 'before the script''s first line.{0,80}`Documents`.{0,20}`PSModulePath`.{0,80}`COR_ENABLE_PROFILING`' }
    ) {
        [IO.File]::ReadAllText("$PSScriptRoot/../../docs/$File") -replace '\s+', ' ' | Should -Match $Text
    }
}
