"""The Windows Installer package as the job reads it: the kit's two packages,
their tables, msiexec and its log."""
import ntpath
import os
import re
import subprocess
import time

from harness import powershell, ps_quote


# What the package puts in %ProgramFiles%\Pacecap.
INSTALLED = ("Detect-Pacecap.ps1", "Pacecap.exe", "PacecapKeep.exe", "Register-PacecapTask.ps1",
             "Remediate-Pacecap.ps1")
# An install or an uninstall takes seconds; this bounds one that hangs. The
# task's action waits for the Task Scheduler at most 60 seconds, twice with
# its rollback: its own bound shows first.
MSIEXEC_TIMEOUT = 360
ERROR_UNKNOWN_PRODUCT = 1605
ERROR_NO_MORE_ITEMS = 259
ERROR_SUCCESS_REBOOT_INITIATED, ERROR_SUCCESS_REBOOT_REQUIRED = 1641, 3010
ERROR_INSTALL_ALREADY_RUNNING = 1618
# Another install holds Windows Installer (an update, the image's own setup):
# msiexec runs again after a pause, within this bound.
BUSY_WAIT_SECONDS, BUSY_PAUSE_SECONDS = 600, 15

MSI_ONLY_DETECT = 0x2  # msidbUpgradeAttributesOnlyDetect: an Upgrade row that only sets its property
MSI_ERROR_ACTION = 19  # a custom action that shows its Target and ends the install

# The Windows Installer automation interface, by late binding, as Windows
# PowerShell 5.1 reaches a property that takes arguments only so.
MSI_AUTOMATION = """\
$ErrorActionPreference = 'Stop'
$installer = New-Object -ComObject WindowsInstaller.Installer
function Get-Com($object, [string]$name, [object[]]$arguments = @()) {
    $object.GetType().InvokeMember($name, [Reflection.BindingFlags]::GetProperty, $null, $object, $arguments)
}
function Invoke-Com($object, [string]$name, [object[]]$arguments = @()) {
    $object.GetType().InvokeMember($name, [Reflection.BindingFlags]::InvokeMethod, $null, $object, $arguments)
}
"""


def kit_packages(names, arch):
    """((name, version), (name, version)): the older and the newer of the two
    packages for arch among the file names (Pacecap-VERSION-ARCH.msi).
    Windows Installer compares a version's first three fields only, so the
    two must differ there."""
    found = {}
    for name in names:
        match = re.fullmatch(r"Pacecap-(\d+)\.(\d+)\.(\d+)\.(\d+)-%s\.msi" % re.escape(arch), name, re.IGNORECASE)
        if match:
            found[tuple(int(part) for part in match.groups())] = name
    if len(found) != 2:
        raise ValueError("the kit must hold two packages for %s, not %r" % (arch, sorted(found.values())))
    older, newer = sorted(found)
    if older[:3] == newer[:3]:
        raise ValueError("%s and %s differ in the fourth field alone, which Windows Installer ignores"
                         % (found[older], found[newer]))
    return tuple((found[key], ".".join(map(str, key))) for key in (older, newer))


def parse_package(text):
    """({property: value}, [(condition, message)], [property]) from
    read_package's lines: the Property table; the messages with which the
    package refuses to go on, each launch condition's and each error custom
    action's, with the condition that decides it; the properties that its
    detect-only Upgrade rows set."""
    properties, refusals, errors, sequence, detect_only = {}, [], {}, {}, []
    for line in text.splitlines():
        kind, *fields = line.split("\t")
        number = int(fields[1]) if len(fields) >= 2 and fields[1].isdigit() else None
        if kind == "property" and len(fields) == 2:
            properties[fields[0]] = fields[1]
        elif kind == "condition" and len(fields) == 2 and fields[1]:
            refusals.append((fields[0], fields[1]))
        elif kind == "action" and len(fields) == 3 and number is not None and number & 0x3F == MSI_ERROR_ACTION:
            errors[fields[0]] = fields[2]
        elif kind == "sequence" and len(fields) == 2:
            sequence[fields[0]] = fields[1]
        elif kind == "upgrade" and len(fields) == 2 and number is not None and number & MSI_ONLY_DETECT:
            detect_only.append(fields[0])
    refusals += [(sequence[action], message) for action, message in errors.items() if action in sequence]
    return properties, refusals, detect_only


def read_package(path):
    """parse_package of a package, read by Windows Installer."""
    ran = powershell(MSI_AUTOMATION + (
        "$database = Invoke-Com $installer OpenDatabase @(%s, 0)\n"  # 0: read-only
        "function Get-Rows([string]$kind, [string]$sql, [int]$fields) {\n"
        "    try { $view = Invoke-Com $database OpenView @($sql) } catch { return }  # a table it lacks\n"
        "    [void](Invoke-Com $view Execute)\n"
        "    while ($record = Invoke-Com $view Fetch) {\n"
        "        (@($kind) + @(1..$fields | ForEach-Object { Get-Com $record StringData @($_) })) -join \"`t\"\n"
        "    }\n"
        "    [void](Invoke-Com $view Close)\n"
        "}\n"
        "Get-Rows property 'SELECT `Property`, `Value` FROM `Property`' 2\n"
        "Get-Rows condition 'SELECT `Condition`, `Description` FROM `LaunchCondition`' 2\n"
        "Get-Rows action 'SELECT `Action`, `Type`, `Target` FROM `CustomAction`' 3\n"
        "Get-Rows sequence 'SELECT `Action`, `Condition` FROM `InstallExecuteSequence`' 2\n"
        "Get-Rows upgrade 'SELECT `ActionProperty`, `Attributes` FROM `Upgrade`' 2" % ps_quote(path)))
    if ran.code != 0:
        raise RuntimeError("the tables of %s could not be read: %s" % (path, ran.err))
    return parse_package(ran.out)


def related_products(upgrade_code):
    """The product codes installed (or advertised) under upgrade_code,
    upper-case, by MsiEnumRelatedProductsW: indexes from 0 up, until it
    answers ERROR_NO_MORE_ITEMS; any other error raises."""
    import ctypes
    from ctypes import wintypes

    # By its full path: the search order would try python.exe's folder first.
    msi = ctypes.WinDLL(os.path.join(os.environ["SystemRoot"], "System32", "msi.dll"))
    enumerate_related = msi.MsiEnumRelatedProductsW
    enumerate_related.argtypes = [wintypes.LPCWSTR, wintypes.DWORD, wintypes.DWORD, wintypes.LPWSTR]
    enumerate_related.restype = wintypes.UINT
    buffer = ctypes.create_unicode_buffer(39)  # a GUID in braces and its null
    found, index = [], 0
    while True:  # ends at the last product: the index only grows
        status = enumerate_related(upgrade_code, 0, index, buffer)
        if status == ERROR_NO_MORE_ITEMS:
            return sorted(found)
        if status:
            raise ctypes.WinError(status)
        found.append(buffer.value.upper())
        index += 1


def read_log(data):
    """A Windows Installer log's text: UTF-16 after a byte order mark, else
    the ANSI code page's bytes, of which only ASCII is read here."""
    if data[:2] == b"\xff\xfe":
        return data[2:].decode("utf-16-le", "replace")
    return data.decode("latin-1")


def msiexec(arguments, log, timeout=MSIEXEC_TIMEOUT, run=subprocess.run, pause=time.sleep, clock=time.monotonic):
    """Runs msiexec with arguments, no UI, no restart and a verbose log, again
    after a pause while another install is in progress (1618), for
    BUSY_WAIT_SECONDS at most; returns (its last exit code, None when it did
    not end within timeout; the last log's text)."""
    command = [ntpath.join(os.environ.get("SystemRoot", r"C:\Windows"), "System32", "msiexec.exe")] + arguments + [
        "/qn", "/norestart", "/l*v", str(log)]
    until = clock() + BUSY_WAIT_SECONDS
    while True:
        try:
            code = run(command, capture_output=True, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            code = None
        if code != ERROR_INSTALL_ALREADY_RUNNING or clock() + BUSY_PAUSE_SECONDS > until:
            return code, read_log(log.read_bytes()) if log.exists() else ""
        pause(BUSY_PAUSE_SECONDS)


def msiexec_outcome(code, log):
    """(whether a run that must succeed did, what to say of it). Exit 3010
    (done, a restart finishes it) counts only where the log says why: a file
    held in use was replaced, to be put in place at the restart."""
    if code == 0:
        return True, "exit 0"
    if code == ERROR_SUCCESS_REBOOT_REQUIRED:
        if re.search(r"^Property\([SC]\): ReplacedInUseFiles = 1\s*$", log, re.M):
            held = re.search(r"The file .*? is being held in use[^\r\n]*", log)
            return True, "exit 3010, as a file held in use is replaced at the restart (%s)" % (
                held.group(0) if held else "ReplacedInUseFiles = 1")
        return False, "exit 3010 (restart required), and the log names no file held in use that needs it"
    if code is None:
        return False, "msiexec did not end within %d s" % MSIEXEC_TIMEOUT
    return False, "exit %d" % code


def refused_outcome(code):
    """Whether msiexec ended, refusing: neither success nor success pending a restart."""
    return code not in (None, 0, ERROR_SUCCESS_REBOOT_REQUIRED, ERROR_SUCCESS_REBOOT_INITIATED)


def refusal_message(log, refusals, tested):
    """The first of the package's refusal messages that the log holds and
    whose condition tests one of the properties tested, or None."""
    return next((message for condition, message in refusals if message in log
                 and any(re.search(r"\b%s\b" % re.escape(name), condition) for name in tested)), None)


def log_errors(log, limit=12):
    """The last lines of a verbose log that say what failed."""
    lines = [line.strip() for line in log.splitlines()
             if re.search(r"Return value 3\.|\bError \d+\.|error code|error status: [1-9]| -- ", line)]
    return lines[-limit:]
