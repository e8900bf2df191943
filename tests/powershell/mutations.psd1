# Slips a maintainer could make in deploy/, each of which some case of
# Deploy.Tests.ps1 must notice: File (below deploy/), the exact text Old that
# occurs there once, and the text New put in its place. Invoke-Mutations.ps1
# makes each in a copy and runs the suite over it.
@{ Mutations = @(
    @{ Name = 'the file mask without WRITE_OWNER'; File = 'shared/PacecapShared.ps1'; Old = '$FileMask = 0x500D0106'; New = '$FileMask = 0x50050106' }
    @{ Name = 'the file mask without DELETE'; File = 'shared/PacecapShared.ps1'; Old = '$FileMask = 0x500D0106'; New = '$FileMask = 0x500C0106' }
    @{ Name = 'the file mask without WRITE_DAC'; File = 'shared/PacecapShared.ps1'; Old = '$FileMask = 0x500D0106'; New = '$FileMask = 0x50090106' }
    @{ Name = 'the folder mask without WRITE_OWNER'; File = 'shared/PacecapShared.ps1'; Old = '$FolderMask = 0x500D0046'; New = '$FolderMask = 0x50050046' }
    @{ Name = 'the folder mask without DELETE'; File = 'shared/PacecapShared.ps1'; Old = '$FolderMask = 0x500D0046'; New = '$FolderMask = 0x500C0046' }
    @{ Name = 'the folder mask without WRITE_DAC'; File = 'shared/PacecapShared.ps1'; Old = '$FolderMask = 0x500D0046'; New = '$FolderMask = 0x50090046' }
    @{ Name = 'the ancestor mask without WRITE_OWNER'; File = 'shared/PacecapShared.ps1'; Old = '$AncestorMask = 0x100D0040'; New = '$AncestorMask = 0x10050040' }
    @{ Name = 'the ancestor mask without DELETE'; File = 'shared/PacecapShared.ps1'; Old = '$AncestorMask = 0x100D0040'; New = '$AncestorMask = 0x100C0040' }
    @{ Name = 'the ancestor mask without WRITE_DAC'; File = 'shared/PacecapShared.ps1'; Old = '$AncestorMask = 0x100D0040'; New = '$AncestorMask = 0x10090040' }
    @{ Name = 'Everyone trusted'; File = 'shared/PacecapShared.ps1'; Old = "`$TrustedSids = 'S-1-5-18', "; New = "`$TrustedSids = 'S-1-1-0', 'S-1-5-18', " }
    @{ Name = 'INTERACTIVE trusted'; File = 'shared/PacecapShared.ps1'; Old = "`$TrustedSids = 'S-1-5-18', "; New = "`$TrustedSids = 'S-1-5-4', 'S-1-5-18', " }
    @{ Name = 'the running account trusted'; File = 'shared/PacecapShared.ps1'; Old = 'function Get-UntrustedRights($Security) {'
        New = 'function Get-UntrustedRights($Security) { $TrustedSids = @($TrustedSids) + (Read-Account).Sid' }
    @{ Name = 'removable drives accepted'; File = 'shared/PacecapShared.ps1'; Old = "`$drive.Type -ne 'Fixed'"; New = "@('Fixed', 'Removable') -notcontains `$drive.Type" }
    @{ Name = 'no link check on the exe'; File = 'shared/PacecapShared.ps1'; Old = 'if ($attributes -band 0x400)'; New = 'if ($at -lt $parts.Count - 1 -and ($attributes -band 0x400))' }
    @{ Name = 'no link check above the exe''s folder'; File = 'shared/PacecapShared.ps1'; Old = 'if ($attributes -band 0x400)'; New = 'if ($at -ge $parts.Count - 2 -and ($attributes -band 0x400))' }
    @{ Name = 'permissions that cannot be read accepted'; File = 'shared/PacecapShared.ps1'; Old = '"its permissions could not be read ($($_.Exception.Message))"'; New = "''" }
    @{ Name = 'permissions read as nothing accepted'; File = 'shared/PacecapShared.ps1'; Old = 'function Get-UntrustedRights($Security) {'
        New = 'function Get-UntrustedRights($Security) { if (-not $Security) { return 0 }' }
    @{ Name = 'attributes read as nothing accepted'; File = 'shared/PacecapShared.ps1'; Old = 'if ($null -eq $attributes) { return "$item cannot be read" }'; New = 'if ($null -eq $attributes) { continue }' }
    @{ Name = '100 rejected'; File = 'shared/PacecapShared.ps1'; Old = '$value -gt 100'; New = '$value -gt 99' }
    @{ Name = 'Remediate sets the values swapped'; File = 'Remediate-Pacecap.ps1'; Old = 'Invoke-Pacecap $found.Exe "$PluggedIn $OnBattery"'; New = 'Invoke-Pacecap $found.Exe "$OnBattery $PluggedIn"' }
    @{ Name = 'Detect starts the exe as given, not as found'; File = 'Detect-Pacecap.ps1'; Old = "Invoke-Pacecap `$found.Exe '0'"; New = "Invoke-Pacecap `$Pacecap '0'" }
    @{ Name = 'the task gets the values swapped'; File = 'Register-PacecapTask.ps1'; Old = '$env:SystemRoot $PluggedIn $OnBattery'; New = '$env:SystemRoot $OnBattery $PluggedIn' }
    @{ Name = 'the task runs the exe of %ProgramFiles%\Pacecap, not its own copy'; File = 'Register-PacecapTask.ps1'; Old = 'Get-TaskDefinition $taskFolder'; New = 'Get-TaskDefinition $folder' }
    @{ Name = 'the task copies another exe than the one checked'; File = 'Register-PacecapTask.ps1'; Old = '(Read-Bytes $found.Exe)'; New = '(Read-Bytes "$folder\Pacecap.exe")' }
    @{ Name = 'registered without -TaskPath'; File = 'Register-PacecapTask.ps1'; Old = "Register-ScheduledTask -TaskPath '\' "; New = 'Register-ScheduledTask ' }
    @{ Name = 'looked up without -TaskPath'; File = 'Register-PacecapTask.ps1'; Old = "Get-ScheduledTask -TaskPath '\' "; New = 'Get-ScheduledTask ' }
    @{ Name = 'unregistered without -TaskPath'; File = 'Register-PacecapTask.ps1'; Old = "Unregister-ScheduledTask -TaskPath '\' "; New = 'Unregister-ScheduledTask ' }
    @{ Name = 'Register stays in PowerShell 7'; File = 'Register-PacecapTask.ps1'; Old = 'Start-Relaunch $PSCommandPath $Bound $true'; New = 'Start-Relaunch $PSCommandPath $Bound' }
    @{ Name = 'no relaunch from PowerShell 7 at all'; File = 'shared/PacecapShared.ps1'; Old = "elseif (`$NeedsWindowsPowerShell -and `$Edition -eq 'Core')"; New = 'elseif ($false)' }
    @{ Name = 'the old task unregistered after its folder is made anew'; File = 'Register-PacecapTask.ps1'
        Old = "Unregister-Task`n        if (`$null -ne (Read-Attributes `$taskFolder)) { Remove-Folder `$taskFolder }`n        New-SecureFolder `$taskFolder `$TaskSecurity"
        New = "if (`$null -ne (Read-Attributes `$taskFolder)) { Remove-Folder `$taskFolder }`n        New-SecureFolder `$taskFolder `$TaskSecurity`n        Unregister-Task" }
    @{ Name = '-Remove deletes %ProgramFiles%\Pacecap with files still in it'; File = 'Register-PacecapTask.ps1'
        Old = 'if ((Test-Path -LiteralPath $Folder) -and -not (Get-ChildItem -LiteralPath $Folder -Force))'; New = 'if (Test-Path -LiteralPath $Folder)' }
    @{ Name = 'Detect: Pacecap not started, reported as not compliant'; File = 'Detect-Pacecap.ps1'; Old = 'return @{ Code = 4; Text = "Pacecap could not be started'; New = 'return @{ Code = 1; Text = "Pacecap could not be started' }
    @{ Name = 'Remediate: Pacecap not started, reported as a failed write'; File = 'Remediate-Pacecap.ps1'; Old = 'return @{ Code = 4; Text = "Pacecap could not be started'; New = 'return @{ Code = 3; Text = "Pacecap could not be started' }
    @{ Name = 'Detect -ConfigMgr: Pacecap not found, exit 0'; File = 'Detect-Pacecap.ps1'; Old = 'if (-not $found.Exe) { return @{ Code = 4;'; New = 'if (-not $found.Exe) { return @{ Code = 4 * -not $ConfigMgr;' }
) }
