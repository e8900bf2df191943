<#
.SYNOPSIS
    Runs every *.Tests.ps1 beside this script with the Pester module in
    -PesterPath (the folder that holds Pester.psd1), under Windows PowerShell
    5.1 or PowerShell 7. The last line is "N passed, M failed" (", K skipped"
    when some were); the exit code is 0 only when nothing failed.
#>
param([Parameter(Mandatory = $true)][string]$PesterPath)

Import-Module (Join-Path $PesterPath 'Pester.psd1') -Force -ErrorAction Stop
$configuration = New-PesterConfiguration
$configuration.Run.Path = $PSScriptRoot
$configuration.Run.PassThru = $true
$configuration.Output.RenderMode = 'Plaintext'
$result = Invoke-Pester -Configuration $configuration
# A block or file that fails before its tests counts as a failure too, and so
# does a run with no test at all.
$failed = $result.FailedCount + $result.FailedBlocksCount + $result.FailedContainersCount
if ($result.PassedCount + $failed -eq 0) { $failed = 1 }
$line = "$($result.PassedCount) passed, $failed failed"
if ($result.SkippedCount) { $line += ", $($result.SkippedCount) skipped" }
Write-Output $line
exit $(if ($failed) { 1 } else { 0 })
