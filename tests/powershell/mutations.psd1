# Slips a maintainer could make in deploy/, each of which some case of
# the suite (*.Tests.ps1) must notice: File (below deploy/), the exact text
# Old that occurs there once, and the text New put in its place. Invoke-Mutations.ps1
# makes each in a copy and runs the suite over it.
@{ Mutations = @(
    @{ Name = 'the file mask without WRITE_OWNER'; File = 'shared/PacecapShared.ps1'; Old = '$FileMask = 0x500D0106'; New = '$FileMask = 0x50050106' }
    @{ Name = 'the file mask without DELETE'; File = 'shared/PacecapShared.ps1'; Old = '$FileMask = 0x500D0106'; New = '$FileMask = 0x500C0106' }
    @{ Name = 'the file mask without WRITE_DAC'; File = 'shared/PacecapShared.ps1'; Old = '$FileMask = 0x500D0106'; New = '$FileMask = 0x50090106' }
    @{ Name = 'the folder mask without WRITE_OWNER'; File = 'shared/PacecapShared.ps1'; Old = '$FolderMask = 0x500D0146'; New = '$FolderMask = 0x50050146' }
    @{ Name = 'the folder mask without DELETE'; File = 'shared/PacecapShared.ps1'; Old = '$FolderMask = 0x500D0146'; New = '$FolderMask = 0x500C0146' }
    @{ Name = 'the folder mask without WRITE_DAC'; File = 'shared/PacecapShared.ps1'; Old = '$FolderMask = 0x500D0146'; New = '$FolderMask = 0x50090146' }
    @{ Name = 'the folder mask without FILE_WRITE_ATTRIBUTES'; File = 'shared/PacecapShared.ps1'; Old = '$FolderMask = 0x500D0146'; New = '$FolderMask = 0x500D0046' }
    @{ Name = 'the ancestor mask without WRITE_OWNER'; File = 'shared/PacecapShared.ps1'; Old = '$AncestorMask = 0x100D0040'; New = '$AncestorMask = 0x10050040' }
    @{ Name = 'the ancestor mask without DELETE'; File = 'shared/PacecapShared.ps1'; Old = '$AncestorMask = 0x100D0040'; New = '$AncestorMask = 0x100C0040' }
    @{ Name = 'the ancestor mask without WRITE_DAC'; File = 'shared/PacecapShared.ps1'; Old = '$AncestorMask = 0x100D0040'; New = '$AncestorMask = 0x10090040' }
    @{ Name = 'Everyone trusted'; File = 'shared/PacecapShared.ps1'; Old = "`$TrustedSids = 'S-1-5-18', "; New = "`$TrustedSids = 'S-1-1-0', 'S-1-5-18', " }
    @{ Name = 'INTERACTIVE trusted'; File = 'shared/PacecapShared.ps1'; Old = "`$TrustedSids = 'S-1-5-18', "; New = "`$TrustedSids = 'S-1-5-4', 'S-1-5-18', " }
    @{ Name = 'the running account trusted'; File = 'shared/PacecapShared.ps1'; Old = 'function Get-UntrustedRights($Security) {'
        New = 'function Get-UntrustedRights($Security) { $TrustedSids = @($TrustedSids) + (Read-Account).User' }
    @{ Name = 'removable drives accepted'; File = 'shared/PacecapShared.ps1'; Old = "`$drive.Type -ne 'Fixed'"; New = "@('Fixed', 'Removable') -notcontains `$drive.Type" }
    @{ Name = 'the volume read takes a count from a query stopped at its bound'; File = 'shared/PacecapShared.ps1'; Old = 'if ($ran.Stopped -or $ran.Code -ne 0 -or'; New = 'if ($ran.Code -ne 0 -and $null -ne $ran.Code -or' }
    @{ Name = 'a SUBST or mapped letter accepted: the Volume check dropped'; File = 'shared/PacecapShared.ps1'; Old = 'if (-not $drive.Volume) { return'; New = 'if ($false) { return' }
    @{ Name = 'no link check on the exe'; File = 'shared/PacecapShared.ps1'; Old = 'if ($attributes -band 0x400)'; New = 'if ($at -lt $parts.Count - 1 -and ($attributes -band 0x400))' }
    @{ Name = 'no link check above the exe''s folder'; File = 'shared/PacecapShared.ps1'; Old = 'if ($attributes -band 0x400)'; New = 'if ($at -ge $parts.Count - 2 -and ($attributes -band 0x400))' }
    @{ Name = 'permissions that cannot be read accepted'; File = 'shared/PacecapShared.ps1'; Old = '"its permissions could not be read ($($_.Exception.Message))"'; New = "''" }
    @{ Name = 'permissions read as nothing accepted'; File = 'shared/PacecapShared.ps1'; Old = 'function Get-UntrustedRights($Security) {'
        New = 'function Get-UntrustedRights($Security) { if (-not $Security) { return 0 }' }
    @{ Name = 'attributes read as nothing accepted'; File = 'shared/PacecapShared.ps1'; Old = 'if ($null -eq $attributes) { return "$item cannot be read" }'; New = 'if ($null -eq $attributes) { continue }' }
    @{ Name = 'the canonical form not compared with the path given'; File = 'shared/PacecapShared.ps1'; Old = 'if ($canonical -cne $Path)'; New = 'if ($false)' }
    @{ Name = '''/'' not taken as a separator'; File = 'shared/PacecapShared.ps1'; Old = ".Substring(3).Replace('/', '\').Split('\')"; New = ".Substring(3).Split('\')" }
    @{ Name = 'trailing dots and spaces kept in names'; File = 'shared/PacecapShared.ps1'; Old = "elseif (`$name.TrimEnd('. ')) { `$names.Add(`$name.TrimEnd('. ')) }"
        New = "elseif (`$name -and `$name -ne '.') { `$names.Add(`$name) }" }
    @{ Name = 'elevated, the path read before it is judged'; File = 'shared/PacecapShared.ps1'; Old = '$why = if ($Elevated) { Get-PathRefusal $candidate }'; New = '$why = $null' }
    @{ Name = 'elevated, a name without .exe accepted, which CreateProcess would start with .exe appended'; File = 'shared/PacecapShared.ps1'
        Old = "if (`$Elevated -and -not `$why -and `$candidate -notmatch '\.exe\z')"; New = 'if ($false)' }
    @{ Name = 'a wait that fails once Pacecap started thrown, as if it never started'; File = 'shared/PacecapShared.ps1'
        Old = "    } catch {`n        try { `$process.Kill() } catch { }`n        @{ Output = ''; Stopped = `"it was stopped, as waiting"
        New = "    } catch {`n        throw`n        @{ Output = ''; Stopped = `"it was stopped, as waiting" }
    @{ Name = 'elevated, the PATH searched after Program Files'; File = 'shared/PacecapShared.ps1'; Old = '$folders = if ($elevated) { , "$programFiles\Pacecap" }'
        New = '$folders = if ($elevated) { @("$programFiles\Pacecap") + @(Get-SearchFolders $ScriptRoot $programFiles (Read-MachinePath) $env:Path) }' }
    @{ Name = 'the checks only for SYSTEM and elevated administrators'; File = 'shared/PacecapShared.ps1'; Old = 'try { Test-Elevated (Read-Account) } catch { $true }'
        New = 'try { Test-Administrator (Read-Account) } catch { $true }' }
    @{ Name = 'a token that cannot be read taken as a standard user''s'; File = 'shared/PacecapShared.ps1'; Old = 'try { Test-Elevated (Read-Account) } catch { $true }'
        New = 'try { Test-Elevated (Read-Account) } catch { $false }' }
    @{ Name = 'Backup Operators run unchecked'; File = 'shared/PacecapShared.ps1'; Old = "'S-1-5-32-544', 'S-1-5-32-551', "; New = "'S-1-5-32-544', " }
    @{ Name = 'a high integrity level alone runs unchecked'; File = 'shared/PacecapShared.ps1'; Old = '$null -eq $Account.Integrity -or $Account.Integrity -ge 0x3000'
        New = '$null -eq $Account.Integrity' }
    @{ Name = '100 rejected'; File = 'shared/PacecapShared.ps1'; Old = '$value -gt 100'; New = '$value -gt 99' }
    @{ Name = 'Remediate sets the values swapped'; File = 'Remediate-Pacecap.ps1'; Old = 'Invoke-Pacecap $found.Exe "$PluggedIn $OnBattery"'; New = 'Invoke-Pacecap $found.Exe "$OnBattery $PluggedIn"' }
    @{ Name = 'Detect starts the exe as given, not as found'; File = 'Detect-Pacecap.ps1'; Old = "Invoke-Pacecap `$found.Exe '0'"; New = "Invoke-Pacecap `$Pacecap '0'" }
    @{ Name = 'the task gets the values swapped'; File = 'Register-PacecapTask.ps1'; Old = 'Get-TaskXml $template.Xml $path $PluggedIn $OnBattery'
        New = 'Get-TaskXml $template.Xml $path $OnBattery $PluggedIn' }
    @{ Name = 'the task runs the keeper given, not the copy of its own'; File = 'Register-PacecapTask.ps1'
        Old = '$path = if ($found.InPlace) { $found.Exe } else { "$taskFolder\PacecapKeep.exe" }'; New = '$path = $found.Exe' }
    @{ Name = 'the task copies another exe than the one checked'; File = 'Register-PacecapTask.ps1'; Old = 'Read-Bytes $found.Exe'; New = 'Read-Bytes "$folder\Pacecap.exe"' }
    @{ Name = 'Pacecap''s folder made with the task folder''s security'; File = 'Register-PacecapTask.ps1'; Old = 'New-SecureFolder $folder $FolderSecurity'; New = 'New-SecureFolder $folder $TaskSecurity' }
    @{ Name = 'registered without -TaskPath'; File = 'Register-PacecapTask.ps1'; Old = "Register-ScheduledTask -TaskPath '\' "; New = 'Register-ScheduledTask ' }
    @{ Name = 'looked up without -TaskPath to be stopped'; File = 'Register-PacecapTask.ps1'; Old = "function Stop-Task {`n    if (Get-ScheduledTask -TaskPath '\' "
        New = "function Stop-Task {`n    if (Get-ScheduledTask " }
    @{ Name = 'stopped without -TaskPath'; File = 'Register-PacecapTask.ps1'; Old = "Stop-ScheduledTask -TaskPath '\' "; New = 'Stop-ScheduledTask ' }
    @{ Name = 'looked up without -TaskPath to be unregistered'; File = 'Register-PacecapTask.ps1'; Old = "function Unregister-Task {`n    if (Get-ScheduledTask -TaskPath '\' "
        New = "function Unregister-Task {`n    if (Get-ScheduledTask " }
    @{ Name = 'unregistered without -TaskPath'; File = 'Register-PacecapTask.ps1'; Old = "Unregister-ScheduledTask -TaskPath '\' "; New = 'Unregister-ScheduledTask ' }
    @{ Name = 'Register stays in PowerShell 7'; File = 'Register-PacecapTask.ps1'; Old = 'Start-Relaunch $PSCommandPath $Bound $true 6'; New = 'Start-Relaunch $PSCommandPath $Bound $false 6' }
    @{ Name = 'no relaunch from PowerShell 7 at all'; File = 'shared/PacecapShared.ps1'; Old = "elseif (`$NeedsWindowsPowerShell -and `$Edition -eq 'Core')"; New = 'elseif ($false)' }
    @{ Name = 'the relaunch decided by IsWow64Process, not by Sysnative'; File = 'shared/PacecapShared.ps1'; Old = 'Get-Relaunch (Read-Wow64 $system)'; New = 'Get-Relaunch ([Environment]::Is64BitOperatingSystem)' }
    @{ Name = 'the relaunch without -NonInteractive'; File = 'shared/PacecapShared.ps1'; Old = "'-NoProfile', '-NonInteractive', '-ExecutionPolicy'"; New = "'-NoProfile', '-ExecutionPolicy'" }
    @{ Name = 'Remediate: a relaunch stopped at its bound exits 4'; File = 'Remediate-Pacecap.ps1'; Old = 'Start-Relaunch $PSCommandPath $Bound $false 3'; New = 'Start-Relaunch $PSCommandPath $Bound' }
    @{ Name = 'Register: a relaunch stopped at its bound exits 4'; File = 'Register-PacecapTask.ps1'; Old = 'Start-Relaunch $PSCommandPath $Bound $true 6'; New = 'Start-Relaunch $PSCommandPath $Bound $true' }
    @{ Name = 'a keeper path with an apostrophe put in the definition'; File = 'Register-PacecapTask.ps1'; Old = "if (`$Keeper -match `"[&<>'```"]`")"
        New = "if (`$Keeper -match `"[&<>```"]`")" }
    @{ Name = 'a keeper path with an ampersand put in the definition'; File = 'Register-PacecapTask.ps1'; Old = "if (`$Keeper -match `"[&<>'```"]`")"
        New = "if (`$Keeper -match `"[<>'```"]`")" }
    @{ Name = 'the keeper named in the action only, not in the scheme-change query'; File = 'Register-PacecapTask.ps1'; Old = ".Replace('{KEEPER}', `$Keeper)"
        New = ".Replace('<Command>{KEEPER}', `"<Command>`$Keeper`")" }
    @{ Name = 'the keeper path put in before the values, so that a placeholder in it is taken'; File = 'Register-PacecapTask.ps1'
        Old = "`$Template.Replace('{PLUGGEDIN}', `"`$PluggedIn`").Replace('{ONBATTERY}', `"`$OnBattery`").Replace('{KEEPER}', `$Keeper)"
        New = "`$Template.Replace('{KEEPER}', `$Keeper).Replace('{PLUGGEDIN}', `"`$PluggedIn`").Replace('{ONBATTERY}', `"`$OnBattery`")" }
    @{ Name = 'Register deletes the old keeper before the new copy is whole'; File = 'Register-PacecapTask.ps1'
        Old = "    Write-SecureFile `$new `$Bytes `$TaskSecurity"; New = "    if (`$null -ne (Read-Attributes `$Keeper)) { Remove-Entry `$Keeper `$false }`n    Write-SecureFile `$new `$Bytes `$TaskSecurity" }
    @{ Name = 'Register registers the task before the keeper is in place'; File = 'Register-PacecapTask.ps1'
        Old = "            `$refusal = Copy-Keeper `$bytes `$path"; New = "            Register-Task `$xml`n            `$refusal = Copy-Keeper `$bytes `$path" }
    @{ Name = 'Register unregisters the old task before it registers the new one'; File = 'Register-PacecapTask.ps1'
        Old = "        Register-Task `$xml`n    } catch {"; New = "        Unregister-Task`n        Register-Task `$xml`n    } catch {" }
    @{ Name = 'the old two-move swap: the keeper moved aside, then the new one in'; File = 'Register-PacecapTask.ps1'
        Old = 'Invoke-Retried { Move-Replacing $new $Keeper }'; New = 'Invoke-Retried { Move-Replacing $Keeper "$Keeper.old"; Move-Replacing $new $Keeper }' }
    @{ Name = 'the keeper put in place by a rename that does not replace'; File = 'Register-PacecapTask.ps1'; Old = 'MoveFile($From, $To, $true)'; New = 'MoveFile($From, $To, $false)' }
    @{ Name = 'a running keeper not stopped before it is replaced'; File = 'Register-PacecapTask.ps1'; Old = "    Stop-Task`n    Invoke-Retried"; New = '    Invoke-Retried' }
    @{ Name = 'without the refusal of links in the task''s folder'; File = 'Register-PacecapTask.ps1'
        Old = '    if (-not $refusal) { $refusal = Get-LinkRefusal $taskFolder }'; New = '' }
    @{ Name = 'Remove-Item -Recurse back, which follows links'; File = 'Register-PacecapTask.ps1'
        Old = "    `$entries = @(Read-Tree `$Path)`n    `$link = Find-Link `$entries`n    if (`$link) { throw `"`$link is a link that this did not make; nothing removed`" }`n    [array]::Reverse(`$entries)`n    foreach (`$entry in `$entries) { Invoke-Retried { Remove-Entry `$entry.Path ((`$entry.Attributes -band 0x10) -ne 0) } }"
        New = '    Invoke-Retried { Remove-Item -LiteralPath $Path -Recurse -Force }' }
    @{ Name = '-Remove deletes %ProgramFiles%\Pacecap with files still in it'; File = 'Register-PacecapTask.ps1'; Old = ' -and @(Read-Tree $Folder).Count -eq 1'; New = '' }
    @{ Name = 'Detect: Pacecap not started, reported as not compliant'; File = 'Detect-Pacecap.ps1'; Old = 'return @{ Code = 4; Text = "Pacecap could not be started'; New = 'return @{ Code = 1; Text = "Pacecap could not be started' }
    @{ Name = 'Remediate: Pacecap not started, reported as a failed write'; File = 'Remediate-Pacecap.ps1'; Old = '@{ Code = 4; Text = "Pacecap could not be started'; New = '@{ Code = 3; Text = "Pacecap could not be started' }
    @{ Name = 'Remediate: a setting run stopped after it started, reported as nothing changed'; File = 'Remediate-Pacecap.ps1'
        Old = 'return @{ Code = 3; Text = "Pacecap $PluggedIn $OnBattery was stopped'; New = 'return @{ Code = 4; Text = "Pacecap $PluggedIn $OnBattery was stopped' }
    @{ Name = 'Detect -ConfigMgr: Pacecap not found, exit 0'; File = 'Detect-Pacecap.ps1'; Old = 'if (-not $found.Exe) { return @{ Code = 4;'; New = 'if (-not $found.Exe) { return @{ Code = 4 * -not $ConfigMgr;' }
    # Paths from the environment, which an administrator's unelevated side can set for an elevated prompt.
    @{ Name = 'the package''s keeper looked for under %ProgramFiles%'; File = 'Register-PacecapTask.ps1'; Old = '$installed = "$ProgramFiles\Pacecap\PacecapKeep.exe"'
        New = '$installed = "$env:ProgramFiles\Pacecap\PacecapKeep.exe"' }
    @{ Name = 'the relaunch from %windir%'; File = 'shared/PacecapShared.ps1'; Old = '$PSVersionTable.PSEdition $system $NeedsWindowsPowerShell'
        New = '$PSVersionTable.PSEdition "$env:windir\System32" $NeedsWindowsPowerShell' }
    @{ Name = 'Sysnative under %windir%'; File = 'shared/PacecapShared.ps1'; Old = "`$SystemDirectory.Substring(0, `$SystemDirectory.LastIndexOf('\')) + '\Sysnative'"
        New = '"$env:windir\Sysnative"' }
    @{ Name = 'the trusted place from %ProgramFiles%'; File = 'shared/PacecapShared.ps1'; Old = '$folders = if ($elevated) { , "$programFiles\Pacecap" }'
        New = '$folders = if ($elevated) { , "$env:ProgramFiles\Pacecap" }' }
    @{ Name = 'Register''s folder from %ProgramFiles%'; File = 'Register-PacecapTask.ps1'; Old = '$folder = "$programFiles\Pacecap"'; New = '$folder = "$env:ProgramFiles\Pacecap"' }
    @{ Name = 'Register''s advice from %ProgramFiles%'; File = 'Register-PacecapTask.ps1'; Old = 'administrator rights and $why. $(Get-Advice $ProgramFiles)"'
        New = 'administrator rights and $why. $(Get-Advice $env:ProgramFiles)"' }
    @{ Name = 'the volume read''s PowerShell from %SystemRoot%'; File = 'shared/PacecapShared.ps1'; Old = "Invoke-Program `"`$(Get-SystemFolder 'System')\WindowsPowerShell"
        New = "Invoke-Program `"`$env:SystemRoot\System32\WindowsPowerShell" }
    @{ Name = 'whoami from %SystemRoot%'; File = 'shared/PacecapShared.ps1'; Old = "`$(Get-SystemFolder 'System')\whoami.exe"; New = '$env:SystemRoot\System32\whoami.exe' }
    @{ Name = 'whoami looked up by name, in the current folder and on the PATH'; File = 'shared/PacecapShared.ps1'; Old = "`$(Get-SystemFolder 'System')\whoami.exe"; New = 'whoami.exe' }
    @{ Name = 'Program Files from the known folder, the x86 one in 32-bit PowerShell'; File = 'shared/PacecapShared.ps1'; Old = "try { `$programFiles = Get-SystemFolder 'ProgramFiles' }"
        New = "try { `$programFiles = [Environment]::GetFolderPath('ProgramFiles') }" }
    @{ Name = 'a system folder read as anything accepted'; File = 'shared/PacecapShared.ps1'; Old = 'if ($folder -isnot [string] -or (Get-PathRefusal $folder))'; New = 'if ($folder -isnot [string])' }
    @{ Name = 'a system folder that cannot be read taken from the environment'; File = 'shared/PacecapShared.ps1'; Old = 'catch { "($($_.Exception.Message))" }'
        New = 'catch { $env:SystemRoot }' }
    @{ Name = 'Sysnative from a 32-bit process on a 32-bit system'; File = 'shared/PacecapShared.ps1'; Old = 'if ($System64 -and -not $Process64)'; New = 'if (-not $Process64)' }
    # Register.
    @{ Name = 'Register: the written copy not checked again'; File = 'Register-PacecapTask.ps1'; Old = "    `$why = Get-Exposure `$new`n"; New = "    `$why = ''`n" }
    @{ Name = 'Register installs without the folder refusal'; File = 'Register-PacecapTask.ps1'
        Old = "    if (`$refusal) { return @{ Code = 4; Text = `"`$refusal; nothing changed`" } }`n    # Read before"; New = '    # Read before' }
    @{ Name = 'a half-made copy not cleared before the new one is written'; File = 'Register-PacecapTask.ps1'; Old = "    if (`$null -ne (Read-Attributes `$new)) { Remove-Entry `$new `$false }`n"; New = '' }
    @{ Name = '-Remove leaves the Task folder'; File = 'Register-PacecapTask.ps1'; Old = "    if (`$null -ne (Read-Attributes `"`$Folder\Task`")) { Remove-Folder `"`$Folder\Task`" }`n"; New = '' }
    @{ Name = '-Remove leaves a task that the package registered'; File = 'Register-PacecapTask.ps1'; Old = "            Unregister-Task`n"
        New = "            if (`$null -ne (Read-Attributes `$taskFolder)) { Unregister-Task }`n" }
    @{ Name = 'the package''s keeper copied, not run in place'; File = 'Register-PacecapTask.ps1'; Old = 'InPlace = $found.Exe -eq $installed'; New = 'InPlace = $false' }
    @{ Name = 'a keeper given preferred over the package''s'; File = 'Register-PacecapTask.ps1'; Old = '@($installed) + @($Given | Where-Object { $_ -and $_ -ne $installed })'
        New = '@($Given | Where-Object { $_ -and $_ -ne $installed }) + @($installed)' }
    @{ Name = 'the keeper taken unchecked'; File = 'Register-PacecapTask.ps1'; Old = '$found = Find-Pacecap $candidate @() $true'; New = '$found = Find-Pacecap $candidate @() $false' }
    @{ Name = 'the copy of the script''s keeper left once the package''s runs'; File = 'Register-PacecapTask.ps1'
        Old = "if (`$found.InPlace -and `$null -ne (Read-Attributes `$taskFolder)) { Remove-Folder `$taskFolder }; ''"; New = "''" }
    @{ Name = 'the task''s definition read from deploy/ unchecked'; File = 'Register-PacecapTask.ps1'; Old = "    `$why = Get-Exposure `$File`n"; New = "    `$why = ''`n" }
    @{ Name = 'the released Register reads the definition from a file all the same'; File = 'Register-PacecapTask.ps1'
        Old = 'if ($null -ne $TaskXml) { return @{ Xml = $TaskXml } }'; New = '' }
    @{ Name = 'the volume query back in -EncodedCommand'; File = 'shared/PacecapShared.ps1'; Old = "`"-NoProfile -NonInteractive -Command ```"`$query```"`""
        New = "('-NoProfile -NonInteractive -EncodedCommand ' + [Convert]::ToBase64String([Text.Encoding]::Unicode.GetBytes(`$query)))" }
    @{ Name = 'the volume query''s letter in double quotes, which the command line would split'; File = 'shared/PacecapShared.ps1'
        Old = "-Filter 'DriveLetter = ''`$(`$Letter.ToUpper()):''' "; New = "-Filter ```"DriveLetter = '`$(`$Letter.ToUpper()):'```" " }
    @{ Name = 'Register takes a token it cannot read as SYSTEM'; File = 'Register-PacecapTask.ps1'; Old = '$account = try { Read-Account } catch { $null }'
        New = "`$account = try { Read-Account } catch { @{ User = 'S-1-5-18' } }" }
    # Who gets the checks: each group alone.
    @{ Name = 'Administrators run unchecked'; File = 'shared/PacecapShared.ps1'; Old = "`$PrivilegedGroups = 'S-1-5-32-544', "; New = '$PrivilegedGroups = ' }
    @{ Name = 'Server Operators run unchecked'; File = 'shared/PacecapShared.ps1'; Old = "'S-1-5-32-551', 'S-1-5-32-549', "; New = "'S-1-5-32-551', " }
    @{ Name = 'the SERVICE group runs unchecked'; File = 'shared/PacecapShared.ps1'; Old = "'S-1-5-6', 'S-1-5-18'"; New = "'S-1-5-18'" }
    @{ Name = 'SYSTEM as a group runs unchecked'; File = 'shared/PacecapShared.ps1'; Old = "'S-1-5-6', 'S-1-5-18', 'S-1-5-19'"; New = "'S-1-5-6', 'S-1-5-19'" }
    @{ Name = 'LOCAL SERVICE as a group runs unchecked'; File = 'shared/PacecapShared.ps1'; Old = "'S-1-5-18', 'S-1-5-19', 'S-1-5-20'"; New = "'S-1-5-18', 'S-1-5-20'" }
    @{ Name = 'NETWORK SERVICE as a group runs unchecked'; File = 'shared/PacecapShared.ps1'; Old = "'S-1-5-19', 'S-1-5-20'"; New = "'S-1-5-19'" }
    @{ Name = 'a service''s SID as a group runs unchecked'; File = 'shared/PacecapShared.ps1'; Old = " -or `$sid -like 'S-1-5-80-*'"; New = '' }
    # The path rule.
    @{ Name = 'a stream only looked for in the file name'; File = 'shared/PacecapShared.ps1'; Old = "if (`$Path.IndexOf(':', 2) -ge 0)"; New = "if (`$Path.LastIndexOf('\') -lt `$Path.IndexOf(':', 2))" }
    @{ Name = 'a device name only looked for as the file name'; File = 'shared/PacecapShared.ps1'; Old = " *(\.[^\\/]*)?(\z|[\\/])'"; New = " *(\.[^\\/]*)?\z'" }
    @{ Name = 'COM and LPT with a superscript digit accepted'; File = 'shared/PacecapShared.ps1'; Old = '(COM|LPT)[0-9\u00B9\u00B2\u00B3]'; New = '(COM|LPT)\d' }
    @{ Name = 'PRN accepted'; File = 'shared/PacecapShared.ps1'; Old = '(CON|PRN|AUX|NUL|'; New = '(CON|AUX|NUL|' }
    @{ Name = 'AUX accepted'; File = 'shared/PacecapShared.ps1'; Old = '(CON|PRN|AUX|NUL|'; New = '(CON|PRN|NUL|' }
    @{ Name = 'COM0 and LPT0 accepted'; File = 'shared/PacecapShared.ps1'; Old = '(COM|LPT)[0-9\u00B9'; New = '(COM|LPT)[1-9\u00B9' }
    @{ Name = 'a name ending in a line feed taken as ending in .exe'; File = 'shared/PacecapShared.ps1'; Old = "-notmatch '\.exe\z'"; New = "-notmatch '\.exe$'" }
    @{ Name = 'elevated, a relative -Pacecap joined to the current folder'; File = 'shared/PacecapShared.ps1'
        Old = "    `$folders = if (`$elevated) { , `"`$programFiles\Pacecap`" } else {`n"
        New = "    if (`$Given -and `$Given -notmatch '^[A-Za-z]:\\') { `$Given = Join-Path (Get-Location).ProviderPath `$Given }`n    `$folders = if (`$elevated) { , `"`$programFiles\Pacecap`" } else {`n" }
    @{ Name = 'a lone . kept as a name'; File = 'shared/PacecapShared.ps1'; Old = "if (`$name -eq '..')"; New = "if (`$name -eq '.') { `$names.Add(`$name) } elseif (`$name -eq '..')" }
    # Removal, Detect and the runs of Pacecap.
    @{ Name = 'Read-Tree descends into a link'; File = 'Register-PacecapTask.ps1'; Old = 'if (($attributes -band 0x10) -and -not ($attributes -band 0x400))'; New = 'if ($attributes -band 0x10)' }
    @{ Name = 'a folder deleted with all in it'; File = 'Register-PacecapTask.ps1'; Old = '[IO.Directory]::Delete($Path, $false)'; New = '[IO.Directory]::Delete($Path, $true)' }
    @{ Name = 'Detect: compliant whatever Pacecap''s exit code'; File = 'Detect-Pacecap.ps1'; Old = '$compliant = $ran.Code -eq 0 -and (Test-Held'; New = '$compliant = (Test-Held' }
    @{ Name = 'Remediate: already set whatever Pacecap''s exit code'; File = 'Remediate-Pacecap.ps1'; Old = 'if ($shown.Code -eq 0 -and (Test-Held'; New = 'if ((Test-Held' }
    @{ Name = 'output that never ends waited for'; File = 'shared/PacecapShared.ps1'
        Old = "if (-not `$reading.Wait(5000)) { return @{ Output = ''; Code = `$process.ExitCode; Stopped = 'its output did not end with it' } }"; New = '$null = $reading.Wait(5000)' }
    @{ Name = 'a run of Pacecap bounded at ten minutes'; File = 'shared/PacecapShared.ps1'; Old = '[int]$Seconds = 60) { Invoke-Program'; New = '[int]$Seconds = 600) { Invoke-Program' }
) }
