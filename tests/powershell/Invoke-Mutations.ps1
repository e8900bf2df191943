<#
.SYNOPSIS
    Makes each slip of mutations.psd1, one at a time, in a copy of deploy/ and
    runs the suite (every *.Tests.ps1) over it until a case fails. One line per slip says
    which case noticed it; the last line is "N passed, M failed", where a slip
    that no case notices fails, and so does one whose text is no longer there.
    A run of the suite per slip takes long: this is run by hand, not by
    scripts/test. -PesterPath as for Invoke-Suite.ps1; -Only takes a wildcard
    over the slips' names.
#>
param([Parameter(Mandatory = $true)][string]$PesterPath, [string]$Only = '*')

Import-Module (Join-Path $PesterPath 'Pester.psd1') -Force -ErrorAction Stop
$root = (Resolve-Path -LiteralPath "$PSScriptRoot/../..").ProviderPath
$work = Join-Path ([IO.Path]::GetTempPath()) "pacecap-mutations-$PID"
$slips = @((Import-PowerShellDataFile "$PSScriptRoot/mutations.psd1").Mutations | Where-Object { $_.Name -like $Only })
$passed = $failed = 0
# The cases see the variables of this script, so none here bears a name that
# a case reads from its row (Text, Given, Exe and the like).
try {
    # First the copy as it is, which must pass, or every slip would look noticed.
    foreach ($slip in @($null) + $slips) {
        Remove-Item -LiteralPath $work -Recurse -Force -ErrorAction SilentlyContinue
        New-Item -ItemType Directory -Path "$work/tests" | Out-Null
        Copy-Item -LiteralPath "$root/deploy" -Destination "$work/deploy" -Recurse
        Copy-Item -LiteralPath "$root/tests/powershell" -Destination "$work/tests/powershell" -Recurse
        Copy-Item -LiteralPath "$root/docs" -Destination "$work/docs" -Recurse
        if ($slip) {
            $target = "$work/deploy/$($slip.File)"
            $source = [IO.File]::ReadAllText($target)
            # A checkout may end its lines with CR LF.
            $old, $new = $slip.Old, $slip.New
            if ($source.Contains("`r`n")) { $old, $new = $old.Replace("`n", "`r`n"), $new.Replace("`n", "`r`n") }
            $at = $source.IndexOf($old, [StringComparison]::Ordinal)
            if ($at -lt 0 -or $source.IndexOf($old, $at + 1, [StringComparison]::Ordinal) -ge 0) {
                Write-Output "NOT TRIED  $($slip.Name): its text is not in $($slip.File) exactly once"
                $failed++
                continue
            }
            [IO.File]::WriteAllText($target, $source.Remove($at, $old.Length).Insert($at, $new))
        }
        $configuration = New-PesterConfiguration
        $configuration.Run.Path = "$work/tests/powershell"
        $configuration.Run.PassThru = $true
        $configuration.Run.SkipRemainingOnFailure = 'Run'
        $configuration.Output.Verbosity = 'None'
        $result = Invoke-Pester -Configuration $configuration
        $failures = $result.FailedCount + $result.FailedBlocksCount + $result.FailedContainersCount
        $case = if ($result.Failed) { @($result.Failed)[0].ExpandedPath } elseif ($failures) { 'a setup block failed' }
        if (-not $slip) {
            if ($failures) { throw "The suite fails before any slip is made: $case" }
        } elseif ($failures) {
            Write-Output "noticed    $($slip.Name): $case"
            $passed++
        } else {
            Write-Output "UNNOTICED  $($slip.Name): all $($result.PassedCount) cases passed"
            $failed++
        }
    }
} finally {
    Remove-Item -LiteralPath $work -Recurse -Force -ErrorAction SilentlyContinue
}
Write-Output "$passed passed, $failed failed"
exit $(if ($failed) { 1 } else { 0 })
