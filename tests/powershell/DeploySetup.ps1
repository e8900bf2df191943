# What the suite's files share, dot-sourced in each one's BeforeAll: the
# roll-out scripts loaded, the environment a user's unelevated side may set
# for an elevated prompt, the reads of Windows mocked, and the machine as data.
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
