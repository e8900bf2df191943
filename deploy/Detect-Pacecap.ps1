<#
.SYNOPSIS
    Detection script for Intune remediations, Configuration Manager or a
    scheduled task: are the maximum processor state limits of the active power
    scheme the wanted ones, on every kind of core?
.DESCRIPTION
    Runs "Pacecap 0" and compares the plugged-in and on-battery values it
    shows, those of the faster cores included, with the wanted ones. An
    on-battery value of 0 means "any".
    Exit codes: 0 compliant; 1 not compliant, or Pacecap could not read the
    values (the remediation script should run); 2 a wanted value outside 0 to
    100; 4 Pacecap.exe not found, refused or could not be started. The first
    line of the output says which, as Intune shows it in its report.
    Run as SYSTEM or elevated, it starts only a Pacecap.exe that standard
    users can neither change nor move aside, such as one in
    "%ProgramFiles%\Pacecap": the permissions of the file, of its folder and
    of every folder above it are checked.
    With -ConfigMgr (a Configuration Manager configuration item, which takes
    any exit code but 0 as a failed discovery) it prints only "Compliant" or
    "NonCompliant" and exits 0; the errors above still exit 2 or 4.
    Intune passes no parameters: set the wanted values in the param block.
.EXAMPLE
    powershell -NoProfile -ExecutionPolicy Bypass -File Detect-Pacecap.ps1 -PluggedIn 99 -OnBattery 80
#>
param(
    # The wanted values: edit these defaults where the tool passes no parameters.
    [int]$PluggedIn = 99,
    [int]$OnBattery = 80,
    # Pacecap.exe to use; by default the one beside this script, else the one
    # in %ProgramFiles%\Pacecap, else the first on the machine's PATH as it is
    # now (not as the service saw it at boot).
    [string]$Pacecap = '',
    [switch]$ConfigMgr
)

# Intune runs scripts in 32-bit PowerShell, where System32 is redirected:
# run again in the 64-bit one, with the same parameters.
if ([Environment]::Is64BitOperatingSystem -and -not [Environment]::Is64BitProcess) {
    $arguments = foreach ($parameter in $PSBoundParameters.GetEnumerator()) {
        if ($parameter.Value -is [switch]) { if ($parameter.Value) { "-$($parameter.Key)" } }
        elseif ("$($parameter.Value)" -ne '') { "-$($parameter.Key)"; "$($parameter.Value)" }
    }
    & "$env:windir\Sysnative\WindowsPowerShell\v1.0\powershell.exe" -NoProfile -ExecutionPolicy Bypass -File $PSCommandPath @arguments
    exit $LASTEXITCODE
}

# The Pacecap.exe to use, by full path: the one given, else the one beside this
# script, else the one in %ProgramFiles%\Pacecap, else the first on the
# machine's PATH, then on this process's. $null when there is none.
function Find-Pacecap([string]$Given) {
    if ($Given) {
        if (Test-Path -LiteralPath $Given -PathType Leaf) { return Convert-Path -LiteralPath $Given }
        return $null
    }
    $path = "$PSScriptRoot;$(Join-Path $env:ProgramFiles 'Pacecap');" +
        [Environment]::GetEnvironmentVariable('Path', 'Machine') + ';' + $env:Path
    foreach ($folder in $path.Split(';')) {
        $folder = [Environment]::ExpandEnvironmentVariables($folder.Trim().Trim('"'))
        if ($folder -notmatch '^[A-Za-z]:\\') { continue }  # a relative entry means a different folder to each
        $candidate = Join-Path $folder 'Pacecap.exe'
        if (Test-Path -LiteralPath $candidate -PathType Leaf) { return $candidate }
    }
    return $null
}

# Who may hold rights that change what runs as SYSTEM: SYSTEM, Administrators,
# TrustedInstaller, and the account running this, which has those rights
# already. CREATOR OWNER and OWNER RIGHTS entries grant nothing of their own.
$Trusted = 'S-1-5-18', 'S-1-5-32-544', 'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464',
    [Security.Principal.WindowsIdentity]::GetCurrent().User.Value
$Placeholders = 'S-1-3-0', 'S-1-3-4'

# The FileSystemRights that anyone else holds on a file or folder itself; all
# of them when anyone else owns it, as an owner may rewrite the ACL. An
# inherit-only entry is left out: the items below carry it themselves.
function Get-UntrustedRights([string]$Path) {
    $acl = Get-Acl -LiteralPath $Path -ErrorAction Stop
    $sid = [Security.Principal.SecurityIdentifier]
    if ($Trusted -notcontains $acl.GetOwner($sid).Value) { return -1 }
    $rights = 0
    foreach ($rule in $acl.GetAccessRules($true, $true, $sid)) {
        $who = $rule.IdentityReference.Value
        if ($rule.AccessControlType -eq 'Allow' -and $Trusted -notcontains $who -and $Placeholders -notcontains $who -and
            ([int]$rule.PropagationFlags -band 2) -eq 0) {  # 2: InheritOnly
            $rights = $rights -bor [int]$rule.FileSystemRights
        }
    }
    $rights
}

# Why standard users (anyone but the trusted above) could put another file in
# place of $Path, a file or a folder, or '' when they cannot: its own rights, its folder's, and
# those of every folder above. The rights looked for: 0x2 write data (in a
# folder: create files), 0x4 append (create folders), 0x40 delete what a
# folder holds, 0x10000 delete, 0x40000 change permissions, 0x80000 take
# ownership, and the generic all (0x10000000) and write (0x40000000).
function Get-Exposure([string]$Path) {
    try {
        $Path = [IO.Path]::GetFullPath($Path)
        if ($Path -notmatch '^[A-Za-z]:\\[^\\]') { return 'it is not on a local drive' }
        # A network drive's permissions are another machine's; FAT has none.
        $drive = New-Object IO.DriveInfo $Path.Substring(0, 1)
        if ($drive.DriveType -ne 'Fixed' -or @('NTFS', 'ReFS') -notcontains $drive.DriveFormat) {
            return 'it is not on a local NTFS or ReFS drive'
        }
        $checks = @()
        $folder = $Path
        if (Test-Path -LiteralPath $Path -PathType Leaf) {
            $checks += , @($Path, 0x500D0006, 'standard users can change or delete it')
            $folder = Split-Path -Parent $Path
        }
        $checks += , @($folder, 0x500D0046, "standard users can add, change or delete files in $folder")
        for ($up = Split-Path -Parent $folder; $up; $up = Split-Path -Parent $up) {
            $checks += , @($up, 0x100D0040, "standard users can delete, rename or take over $up")
        }
        foreach ($check in $checks) {
            $at, $mask, $what = $check
            # A link: what it leads to is not what the ACLs here describe.
            if ([int]((Get-Item -LiteralPath $at -Force -ErrorAction Stop).Attributes) -band 0x400) {
                return "$at is a link"
            }
            if (-not (Split-Path -Parent $at)) { $mask = $mask -band -bnot 0x10000 }  # a drive's root cannot be deleted
            if ((Get-UntrustedRights $at) -band $mask) { return $what }
        }
        return ''
    } catch {
        return "its permissions could not be read ($($_.Exception.Message))"
    }
}

# Whatever runs as SYSTEM or elevated must lie out of standard users' reach:
# the refusal for $Path when it does not, else ''.
function Get-Refusal([string]$Path) {
    $identity = [Security.Principal.WindowsIdentity]::GetCurrent()
    $principal = New-Object Security.Principal.WindowsPrincipal($identity)
    if (-not ($identity.IsSystem -or $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator))) {
        return ''
    }
    $why = Get-Exposure $Path
    if (-not $why) { return '' }
    "Refused $Path, as this runs with administrator rights and $why. Put it in " +
        "$(Join-Path $env:ProgramFiles 'Pacecap'), where only administrators can change it"
}

foreach ($value in $PluggedIn, $OnBattery) {
    if ($value -lt 0 -or $value -gt 100) {
        Write-Output "Invalid wanted value $value`: each must lie between 0 and 100"
        exit 2
    }
}
$exe = Find-Pacecap $Pacecap
if (-not $exe) {
    Write-Output 'Pacecap.exe was not found: put it in %ProgramFiles%\Pacecap, or name it with -Pacecap'
    exit 4
}
$refusal = Get-Refusal $exe
if ($refusal) {
    Write-Output $refusal
    exit 4
}

# True when Pacecap's "0" output shows the wanted values on every kind of
# core. It shows a faster kind only where that differs from the rest; an
# on-battery value of 0 stands for any.
function Test-Held([string]$Shown) {
    $wanted = @{ 'plugged-in' = $PluggedIn; 'on-battery' = $OnBattery }
    $lines = [regex]::Matches($Shown, '(plugged-in|on-battery) value (of efficiency class \d+ )?is (\d+)%')
    $classZero = @($lines | Where-Object { -not $_.Groups[2].Success })
    if ($classZero.Count -ne 2) { return $false }
    foreach ($line in $lines) {
        $kind = $line.Groups[1].Value
        $any = $kind -eq 'on-battery' -and $OnBattery -eq 0
        if (-not $any -and [int]$line.Groups[3].Value -ne $wanted[$kind]) { return $false }
    }
    $true
}

# Captured output is a pipe, so Pacecap never waits for a key here.
try {
    $shown = (& $exe 0 | Out-String)
    $code = $LASTEXITCODE
} catch {
    Write-Output "Pacecap could not be started ($exe): $($_.Exception.Message)"
    exit 4
}
$pluggedInNow = if ($shown -match 'plugged-in value is (\d+)%') { [int]$Matches[1] } else { $null }
$onBatteryNow = if ($shown -match 'on-battery value is (\d+)%') { [int]$Matches[1] } else { $null }
$compliant = $code -eq 0 -and (Test-Held $shown)
$report = "Pacecap could not read the values (exit code $code)"
if ($code -eq 0 -and $null -ne $pluggedInNow -and $null -ne $onBatteryNow) {
    $report = "plugged-in $pluggedInNow%, on-battery $onBatteryNow%"
    foreach ($line in [regex]::Matches($shown, '(plugged-in|on-battery) value of efficiency class (\d+) is (\d+)%')) {
        $report += ", $($line.Groups[1].Value) of efficiency class $($line.Groups[2].Value) $($line.Groups[3].Value)%"
    }
}

if ($ConfigMgr) {
    Write-Output $(if ($compliant) { 'Compliant' } else { 'NonCompliant' })
    exit 0
}
if ($compliant) {
    Write-Output "Compliant: $report"
    exit 0
}
Write-Output "Not compliant: $report (wanted plugged-in $PluggedIn%, on-battery $(if ($OnBattery) { "$OnBattery%" } else { 'any' }))"
exit 1
