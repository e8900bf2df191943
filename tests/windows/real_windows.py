#!/usr/bin/env python3
"""Pacecap.exe on real Windows: the real power scheme, the real loader's
search order, a real console, the roll-out scripts as the job's elevated user
and as SYSTEM, the task that keeps the limits, and cold start. Whatever it
changes it puts back at the end, also when a check fails: the maximum
processor state of the active scheme, the machine's PATH value (byte for
byte), scheduled tasks, and the folders it makes under %ProgramFiles%; the
local account it makes for access rules is deleted, and the packages it
installs are uninstalled.
Ends with "N passed, M failed", followed by ", K skipped" when checks could
not apply to this machine (no interactive desktop, for one).

Usage: real_windows.py KIT [--exe PACECAP_EXE] [--emulated X64_EXE] [--summary FILE]
       real_windows.py --pester
       real_windows.py --token
       real_windows.py --self-test
KIT holds the runtime-free test tools (Marker.dll, LoadLibraries.exe,
DoNothing.exe, ConsoleKey.exe, RunMarker.exe) and, unless --exe names another,
Pacecap.exe, and the release's Windows Installer package for the same
processor in two versions (Pacecap-VERSION-ARCH.msi). --emulated adds to
the cold-start figures the x64 X64_EXE, run under emulation on an ARM64
machine. --summary appends the cold-start figures
to FILE (the job summary). --pester runs the PowerShell suite under Windows
PowerShell 5.1 and under the pinned pwsh (started as dotnet with its
pwsh.dll: the tool's pwsh shim is x64 only), both restored from NuGet
beforehand. --token shows whether this process's token is elevated, and at
what integrity level. --self-test runs the checks of this script's own logic
that need no Windows.

A Windows run first checks that its token is an elevated administrator's and
stops with one line where it is not. What each group of checks needs from the
machine, and what it does where that is missing, is in GROUPS below, and is
printed at the start of a run.
"""
import base64
import collections
import contextlib
import json
import ntpath
import os
import re
import secrets
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(ROOT / "tests" / "wine"))
sys.path.insert(0, str(ROOT / "tools"))
from benchmark import paired_ratio  # noqa: E402 (the benchmark's method, run natively)
from e2e import INVALID, USAGE, set_lines, values  # noqa: E402 (the same expected bytes as under Wine)

POWERCFG_QUERY = ["powercfg", "/query", "SCHEME_CURRENT", "SUB_PROCESSOR", "PROCTHROTTLEMAX"]
PROMPT = "Press any key to close"
RUN_TIMEOUT = 30
# Bounds of the console cases' waits: a new console that Windows hands to
# Windows Terminal may take seconds to show anything; Pacecap flushes its
# input 300 ms after it starts and then reads it every 10 ms.
PROMPT_SECONDS = 30
FLUSH_SECONDS = 10

# OpenProcessToken's access, GetTokenInformation's classes TokenElevation
# and TokenIntegrityLevel, and the integrity levels' relative ids (winnt.h).
TOKEN_QUERY = 0x0008
TOKEN_ELEVATION, TOKEN_INTEGRITY_LEVEL = 20, 25
ERROR_INSUFFICIENT_BUFFER = 122
INTEGRITY_LEVELS = {0x0000: "untrusted", 0x1000: "low", 0x2000: "medium", 0x2100: "medium plus", 0x3000: "high",
                    0x4000: "system"}
HIGH_INTEGRITY = 0x3000

# SYSTEM_POWER_CAPABILITIES, as GetPwrCapabilities fills it: 76 bytes, with
# SystemS1 to SystemS4 at 3 to 6, AoAc (Modern Standby) at 0x14 and
# SystemBatteriesPresent at 0x1E.
POWER_CAPABILITIES_SIZE = 76
SLEEP_STATES = {3: "S1", 4: "S2", 5: "S3", 6: "S4 (hibernation)"}
AOAC_AT, BATTERIES_AT = 0x14, 0x1E
# The start of SYSTEM_CPU_SET_INFORMATION: Size, Type (0: a CPU set), then
# the set's fields up to EfficiencyClass, at 18.
CPU_SET_EFFICIENCY_AT = 18
# The wall-clock bound of a run that must not wait for a key: loose enough
# for a busy runner, and still far below the ten-minute wait it rules out.
NO_WAIT_SECONDS = 10
# IMAGE_FILE_MACHINE_* values of the two targets.
MACHINES = {0x8664: "x64", 0xAA64: "arm64"}

# GetUserObjectInformationW's index for the handle flags, and the window
# station flag that Pacecap also asks for before it waits for a key.
UOI_FLAGS = 1
WSF_VISIBLE = 0x0001

# The machine's PATH as the registry holds it; the roll-out scripts read it
# from there afresh, not from their own environment.
ENVIRONMENT_KEY = r"SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
REG_SZ, REG_EXPAND_SZ = 1, 2
ERROR_MORE_DATA = 234

SYSTEM_SID = "S-1-5-18"
ADMINISTRATORS_SID = "S-1-5-32-544"
USERS_SID = "S-1-5-32-545"
TRUSTED_INSTALLER_SID = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
# Who may change what SYSTEM runs; CREATOR OWNER and OWNER RIGHTS rules grant
# nothing of their own.
TRUSTED_SIDS = {SYSTEM_SID, ADMINISTRATORS_SID, TRUSTED_INSTALLER_SID}
PLACEHOLDER_SIDS = {"S-1-3-0", "S-1-3-4"}
# File system rights with which a holder can replace, move aside or re-permit
# a file or folder: write or append data (add a file or subfolder), write
# extended attributes, delete children, write attributes, delete, change
# permissions, take ownership, and the generic all and write rights.
WRITE_RIGHTS = 0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 | 0x10000000 | 0x40000000
INHERIT_ONLY = 0x2  # PropagationFlags: the rule applies only to children

TASK = "Pacecap"  # the task that Register-PacecapTask.ps1 makes
CHECK_TASK = "PacecapCheck"
SYSTEM_TASK = "PacecapTestAsSystem"
TASK_NS = {"t": "http://schemas.microsoft.com/windows/2004/02/mit/task"}
EVENT_NS = "{http://schemas.microsoft.com/win/2004/08/events/event}"
SCHEME_PROVIDER = "Microsoft-Windows-UserModePowerService"
SCHEME_EVENTS = "*[System[Provider[@Name='%s'] and EventID=12]]" % SCHEME_PROVIDER
# The resume events, as the manifests declare them, in a query of our own.
RESUME_EVENTS = ("*[System[(Provider[@Name='Microsoft-Windows-Power-Troubleshooter'] and EventID=1)"
                 " or (Provider[@Name='Microsoft-Windows-Kernel-Power'] and (EventID=107 or EventID=507))]]")
TRIGGER_DELAY = "PT10S"
TIME_LIMIT = "PT5M"  # a cold Windows PowerShell start at logon on a slow disk, with room

results = {"passed": 0, "failed": 0, "skipped": 0}
Ran = collections.namedtuple("Ran", "code out err")
Rule = collections.namedtuple("Rule", "sid rights allow inherited inherit_only")


def check(name, condition, detail=""):
    results["passed" if condition else "failed"] += 1
    print("%s  %s%s" % ("ok  " if condition else "FAIL", name, "" if condition else ": %s" % (detail,)))


def skip(count, name, reason):
    """Counts checks that cannot apply to this machine as skipped, not passed."""
    results["skipped"] += count
    print("skip  %s (%d): %s" % (name, count, reason))


def summary_line(counts):
    line = "%d passed, %d failed" % (counts["passed"], counts["failed"])
    return line + (", %d skipped" % counts["skipped"] if counts["skipped"] else "")


def first_line(text):
    return text.splitlines()[0] if text else ""


# --- The token and the machine ------------------------------------------------

def token_elevation():
    """(whether the token is elevated, its integrity level's relative id) of
    this process, by GetTokenInformation's TokenElevation and
    TokenIntegrityLevel."""
    import ctypes
    from ctypes import wintypes

    advapi32 = ctypes.WinDLL("advapi32", use_last_error=True)
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.GetCurrentProcess.restype = wintypes.HANDLE
    kernel32.CloseHandle.argtypes = [wintypes.HANDLE]
    advapi32.OpenProcessToken.argtypes = [wintypes.HANDLE, wintypes.DWORD, ctypes.POINTER(wintypes.HANDLE)]
    advapi32.GetTokenInformation.argtypes = [wintypes.HANDLE, ctypes.c_int, ctypes.c_void_p, wintypes.DWORD,
                                             wintypes.LPDWORD]
    advapi32.IsValidSid.argtypes = [ctypes.c_void_p]
    advapi32.GetSidSubAuthorityCount.restype = ctypes.POINTER(ctypes.c_ubyte)
    advapi32.GetSidSubAuthorityCount.argtypes = [ctypes.c_void_p]
    advapi32.GetSidSubAuthority.restype = ctypes.POINTER(wintypes.DWORD)
    advapi32.GetSidSubAuthority.argtypes = [ctypes.c_void_p, wintypes.DWORD]
    token = wintypes.HANDLE()
    if not advapi32.OpenProcessToken(kernel32.GetCurrentProcess(), TOKEN_QUERY, ctypes.byref(token)):
        raise ctypes.WinError(ctypes.get_last_error())
    try:
        elevated, size = wintypes.DWORD(), wintypes.DWORD()
        if not advapi32.GetTokenInformation(token, TOKEN_ELEVATION, ctypes.byref(elevated), ctypes.sizeof(elevated),
                                            ctypes.byref(size)):
            raise ctypes.WinError(ctypes.get_last_error())
        # TOKEN_MANDATORY_LABEL: the label's SID pointer first, the SID after it.
        if (advapi32.GetTokenInformation(token, TOKEN_INTEGRITY_LEVEL, None, 0, ctypes.byref(size))
                or ctypes.get_last_error() != ERROR_INSUFFICIENT_BUFFER):
            raise ctypes.WinError(ctypes.get_last_error())
        label = ctypes.create_string_buffer(size.value)
        if not advapi32.GetTokenInformation(token, TOKEN_INTEGRITY_LEVEL, label, size, ctypes.byref(size)):
            raise ctypes.WinError(ctypes.get_last_error())
        sid = ctypes.c_void_p.from_buffer(label).value
        # Neither call checks the SID or the index: a label SID that is not
        # valid, or has no relative id, is a failed read, not a level.
        count = advapi32.GetSidSubAuthorityCount(sid)[0] if advapi32.IsValidSid(sid) else 0
        if count < 1:
            raise OSError("the token's integrity label is not a SID with a relative id")
        return bool(elevated.value), advapi32.GetSidSubAuthority(sid, count - 1)[0]
    finally:
        kernel32.CloseHandle(token)


def integrity_name(level):
    return "%s (0x%04X)" % (INTEGRITY_LEVELS.get(level, "unknown"), level)


def elevation_problem(elevated, level):
    """None for an elevated token at high integrity or above (an elevated
    administrator, or SYSTEM); else the one line that stops the run."""
    if elevated and level >= HIGH_INTEGRITY:
        return None
    return ("Not elevated: this token is %s at %s integrity, and these checks change the power scheme, "
            "%%ProgramFiles%%, the machine's PATH and scheduled tasks, which need an elevated administrator's token "
            "(full, not filtered) at high integrity" % ("elevated" if elevated else "not elevated",
                                                       integrity_name(level)))


Machine = collections.namedtuple("Machine", "core_kinds battery sleep_states modern_standby")


def efficiency_classes(data):
    """The efficiency classes of the CPU sets in GetSystemCpuSetInformation's
    bytes; each entry gives its own size, and one too short ends the walk."""
    classes, at = set(), 0
    while len(data) - at > CPU_SET_EFFICIENCY_AT:
        size, kind = int.from_bytes(data[at:at + 4], "little"), int.from_bytes(data[at + 4:at + 8], "little")
        if size <= CPU_SET_EFFICIENCY_AT or size > len(data) - at:
            break
        if kind == 0:
            classes.add(data[at + CPU_SET_EFFICIENCY_AT])
        at += size
    return classes


def power_capabilities(data):
    """(battery, sleep states, Modern Standby) from SYSTEM_POWER_CAPABILITIES'
    bytes."""
    if len(data) < POWER_CAPABILITIES_SIZE:
        raise ValueError("SYSTEM_POWER_CAPABILITIES is %d bytes, not %d" % (len(data), POWER_CAPABILITIES_SIZE))
    return (bool(data[BATTERIES_AT]), [name for at, name in sorted(SLEEP_STATES.items()) if data[at]],
            bool(data[AOAC_AT]))


def read_machine():
    """What this machine has that some checks need: its kinds of core, a
    battery, sleep states, Modern Standby."""
    import ctypes
    from ctypes import wintypes

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.GetSystemCpuSetInformation.argtypes = [ctypes.c_void_p, wintypes.ULONG, ctypes.POINTER(wintypes.ULONG),
                                                    wintypes.HANDLE, wintypes.ULONG]
    length = wintypes.ULONG()
    kernel32.GetSystemCpuSetInformation(None, 0, ctypes.byref(length), None, 0)  # asks for the size
    sets = ctypes.create_string_buffer(length.value)
    if not kernel32.GetSystemCpuSetInformation(sets, length, ctypes.byref(length), None, 0):
        raise ctypes.WinError(ctypes.get_last_error())
    powrprof = ctypes.WinDLL("powrprof", use_last_error=True)
    powrprof.GetPwrCapabilities.restype = ctypes.c_ubyte  # BOOLEAN
    powrprof.GetPwrCapabilities.argtypes = [ctypes.c_void_p]
    capabilities = ctypes.create_string_buffer(POWER_CAPABILITIES_SIZE)
    if not powrprof.GetPwrCapabilities(capabilities):
        raise ctypes.WinError(ctypes.get_last_error())
    return Machine(len(efficiency_classes(sets.raw[:length.value])), *power_capabilities(capabilities.raw))


def machine_text(machine):
    return "%s, %s, sleep states: %s, %s" % (
        "one kind of core" if machine.core_kinds < 2 else "%d kinds of core" % machine.core_kinds,
        "a battery" if machine.battery else "no battery", ", ".join(machine.sleep_states) or "none",
        "Modern Standby" if machine.modern_standby else "no Modern Standby")


def parse_powercfg(text):
    """(plugged-in, on-battery) from powercfg's query of one setting."""
    found = {}
    for line in text.splitlines():
        match = re.match(r"\s*Current (AC|DC) Power Setting Index:\s*0x([0-9a-fA-F]+)\s*$", line)
        if match:
            found[match.group(1)] = int(match.group(2), 16)
    if set(found) != {"AC", "DC"}:
        raise ValueError("no AC and DC index in powercfg's output: %r" % text[-300:])
    return found["AC"], found["DC"]


def read_scheme(query=POWERCFG_QUERY):
    done = subprocess.run(query, capture_output=True, text=True, timeout=RUN_TIMEOUT)
    return parse_powercfg(done.stdout)


def read_class_one():
    """The faster cores' values, or None where the runner has no such setting
    (/qh, since /query leaves hidden settings out)."""
    try:
        return read_scheme(["powercfg", "/qh", "SCHEME_CURRENT", "SUB_PROCESSOR", "PROCTHROTTLEMAX1"])
    except ValueError:
        return None


def write_class_one(plugged_in, on_battery):
    for which, value in (("/setacvalueindex", plugged_in), ("/setdcvalueindex", on_battery)):
        powercfg(which, "SCHEME_CURRENT", "SUB_PROCESSOR", "PROCTHROTTLEMAX1", str(value))
    powercfg("/setactive", "SCHEME_CURRENT")


def class_one_verdict(core_kinds, before, after, written=(99, 80)):
    """(name, passed, detail) of the class-1 setting across Pacecap's write
    of `written`; passed is None, and detail the reason, where nothing can be
    compared: the scheme has no class-1 setting, or its values already were
    the written ones, so that a wrong write (one kind of core) or a missing
    one (two kinds) would not show."""
    if before is None:
        return ("the class-1 setting", None, "the scheme has no class-1 setting (PROCTHROTTLEMAX1): nothing to compare")
    if core_kinds >= 2:
        name = "%d kinds of core: the class-1 setting is set to %r as well" % (core_kinds, written)
        if before == written:
            return (name, None, "the class-1 values already are %r: a missing write would not show" % (written,))
        return (name, after == written, after)
    name = "one kind of core: the class-1 setting %r is left as it was" % (before,)
    if before == written:
        return (name, None, "one kind of core, and the class-1 values already are %r: a wrong write would not show"
                % (written,))
    return (name, after == before, after)


def powercfg(*args):
    subprocess.run(["powercfg"] + list(args), check=True, capture_output=True, timeout=RUN_TIMEOUT)


def write_scheme(plugged_in, on_battery):
    for which, value in (("/setacvalueindex", plugged_in), ("/setdcvalueindex", on_battery)):
        powercfg(which, "SCHEME_CURRENT", "SUB_PROCESSOR", "PROCTHROTTLEMAX", str(value))
    powercfg("/setactive", "SCHEME_CURRENT")


@contextlib.contextmanager
def restored(label, read, write, show=repr):
    """Yields the value as found and writes it back afterwards, whatever
    happened in between; checks that it is back. label(original) names the
    check, show(value) describes a value that is not."""
    original = read()
    try:
        yield original
    finally:
        write(*original)
        now = read()
        check(label(original), now == original, show(now))


def scheme_restored(read=read_scheme, write=write_scheme):
    return restored(lambda original: "the original values %r are back" % (original,), read, write)


def ps_quote(text):
    """A PowerShell single-quoted literal of text."""
    return "'" + str(text).replace("'", "''") + "'"


def powershell(command, exe="powershell", timeout=120):
    """Runs PowerShell commands, passed base64-encoded (UTF-16LE) so that no
    command-line quoting can change them; progress records, which would
    reach standard error, are off. Returns Ran(exit code, standard output,
    standard error), the outputs stripped."""
    script = "$ProgressPreference = 'SilentlyContinue'\n" + command
    encoded = base64.b64encode(script.encode("utf-16-le")).decode("ascii")
    done = subprocess.run([exe, "-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-EncodedCommand", encoded],
                          capture_output=True, text=True, errors="replace", timeout=timeout)
    return Ran(done.returncode, done.stdout.strip(), done.stderr.strip())


def run_script(script, *args, timeout=120):
    """Runs a roll-out script as Intune does (powershell.exe -File), in the
    job's own elevated session."""
    done = subprocess.run(["powershell", "-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-File",
                           str(script)] + [str(arg) for arg in args],
                          capture_output=True, text=True, errors="replace", timeout=timeout)
    return Ran(done.returncode, done.stdout.strip(), done.stderr.strip())


def refused(ran, exe):
    """Whether a roll-out script refused exe as it must: exit 4, a first line
    that starts with "Refused " and names the file, and the folder to use
    instead, C:\\Program Files\\Pacecap, named (not a folder that merely
    starts so)."""
    line = first_line(ran.out)
    return (ran.code == 4 and line.startswith("Refused ") and str(exe).lower() in line.lower()
            and re.search(r"Program Files\\Pacecap(?![\w-])", ran.out, re.IGNORECASE) is not None)


class Run:
    def __init__(self, argv, cwd=None, env=None):
        done = subprocess.run(argv, capture_output=True, timeout=RUN_TIMEOUT, cwd=cwd, env=env)
        self.out, self.code = done.stdout, done.returncode & 0xFFFFFFFF

    def __repr__(self):
        return "exit code 0x%08X, output %r" % (self.code, self.out)


def power_scheme_cases(exe, machine):
    """Needs an active power scheme that powercfg reads and writes; the
    class-1 check needs a class-1 setting, and skips where nothing can be
    compared (see class_one_verdict)."""
    with scheme_restored() as (ac, dc):
        shown = Run([exe, "0"])
        check("Pacecap 0 shows powercfg's values %d and %d, exit 0" % (ac, dc),
              (shown.out, shown.code) == (values(ac, dc), 0), shown)
        usage = Run([exe])
        check("Pacecap alone: usage text, the values, exit 1",
              (usage.out, usage.code) == (USAGE + values(ac, dc), 1), usage)
        class_one = read_class_one()
        both = Run([exe, "99", "80"])
        check("Pacecap 99 80: both set and applied, exit 0", (both.out, both.code) == (set_lines(99, 80), 0), both)
        now = read_scheme()
        check("powercfg then reports 99 and 80", now == (99, 80), now)
        name, passed, detail = class_one_verdict(machine.core_kinds, class_one, read_class_one())
        if passed is None:
            skip(1, name, detail)
        else:
            check(name, passed, detail)
        first = Run([exe, "98", "0"])
        check("Pacecap 98 0: exit 0", (first.out, first.code) == (set_lines(98), 0), first)
        now = read_scheme()
        check("powercfg then reports 98 and the on-battery value left at 80", now == (98, 80), now)
        for args in (["101"], ["abc", "50"]):
            bad = Run([exe] + args)
            check("Pacecap %s: invalid value, exit 1" % " ".join(args), (bad.out, bad.code) == (INVALID, 1), bad)
            now = read_scheme()
            check("Pacecap %s changes nothing" % " ".join(args), now == (98, 80), now)


def planted_library_cases(exe, kit, work):
    """Marker copies named POWRPROF.dll beside the exe and in the current
    directory are never loaded; an unrestricted program does load the one
    beside it."""
    app, cwd = work / "app", work / "cwd"
    for folder in (app, cwd):
        folder.mkdir()
        shutil.copy(kit / "Marker.dll", folder / "POWRPROF.dll")
    shutil.copy(exe, app / "Pacecap.exe")
    shutil.copy(kit / "LoadLibraries.exe", app / "LoadLibraries.exe")
    marker = work / "marker.txt"
    env = dict(os.environ, PACECAP_MARKER=str(marker))

    def loads(argv):
        marker.unlink(missing_ok=True)
        run = Run(argv, cwd=cwd, env=env)
        return run, marker.read_text().splitlines() if marker.exists() else []

    with scheme_restored():
        run, loaded = loads([str(app / "Pacecap.exe"), "99", "80"])
        check("Pacecap 99 80 with planted copies: exit 0", (run.out, run.code) == (set_lines(99, 80), 0), run)
        check("no planted POWRPROF.dll is loaded", loaded == [], loaded)
    run, loaded = loads([str(app / "LoadLibraries.exe")])
    check("control: an unrestricted program loads the POWRPROF.dll beside it",
          any(line.upper().endswith("\\APP\\POWRPROF.DLL") for line in loaded), loaded)


def window_station_visible():
    """Whether the job's window station has visible display surfaces, asked
    as Pacecap asks it; raises OSError when the question fails."""
    import ctypes
    from ctypes import wintypes

    class UserObjectFlags(ctypes.Structure):
        _fields_ = [("fInherit", wintypes.BOOL), ("fReserved", wintypes.BOOL), ("dwFlags", wintypes.DWORD)]

    user32 = ctypes.WinDLL("user32", use_last_error=True)
    user32.GetProcessWindowStation.restype = wintypes.HANDLE
    user32.GetProcessWindowStation.argtypes = []
    user32.GetUserObjectInformationW.restype = wintypes.BOOL
    user32.GetUserObjectInformationW.argtypes = [wintypes.HANDLE, ctypes.c_int, ctypes.c_void_p, wintypes.DWORD,
                                                 wintypes.LPDWORD]
    flags, needed = UserObjectFlags(), wintypes.DWORD()
    station = user32.GetProcessWindowStation()  # not to be closed
    if not station or not user32.GetUserObjectInformationW(station, UOI_FLAGS, ctypes.byref(flags),
                                                           ctypes.sizeof(flags), ctypes.byref(needed)):
        raise ctypes.WinError(ctypes.get_last_error())
    return bool(flags.dwFlags & WSF_VISIBLE)


def close_prompt_cases(exe, kit):
    """In a console of its own, Pacecap waits for a key where someone can see
    it; from a shell, or in a console started hidden, never."""
    try:
        visible = window_station_visible()
    except OSError as error:
        check("the job's window station can be queried", False, error)
        visible = None
    if visible:
        waiting_cases(exe, kit)
    elif visible is False:
        skip(3, "in a new console: the prompt shown while it runs, its input flushed, a key ends it",
             "the job's window station is not interactive (no WSF_VISIBLE): no one could see or answer the prompt")
    else:
        skip(3, "in a new console: the prompt shown while it runs, its input flushed, a key ends it",
             "whether the job's desktop is interactive is unknown")
    started = time.monotonic()
    inherited = subprocess.run([exe, "0"], timeout=RUN_TIMEOUT)
    check("from the job's own shell it never waits: exit 0 within %d s" % NO_WAIT_SECONDS,
          inherited.returncode == 0 and time.monotonic() - started < NO_WAIT_SECONDS, time.monotonic() - started)
    hidden = subprocess.STARTUPINFO(dwFlags=subprocess.STARTF_USESHOWWINDOW, wShowWindow=0)  # SW_HIDE
    started = time.monotonic()
    process = subprocess.Popen([exe, "0"], creationflags=subprocess.CREATE_NEW_CONSOLE, startupinfo=hidden)
    try:
        code = process.wait(timeout=NO_WAIT_SECONDS)
    except subprocess.TimeoutExpired:
        code = None
        process.kill()
    check("in a new console started hidden it never waits: exit 0 within %d s" % NO_WAIT_SECONDS, code == 0,
          "exit %r after %.1f s" % (code, time.monotonic() - started))


def awaited(exit_code, screen, markers=None):
    """What a console case still waits for before it presses a key, or None
    once all is there: Pacecap still running, its prompt on the screen, and,
    once a marker has been put into its input (markers: how many are still
    there, -1 when they could not be counted; None before), the marker gone.
    Pacecap flushes its input once, before its first read, and nothing else
    reads it: so a marker that is gone was flushed or read, and a key sent
    after that is read, never flushed."""
    if exit_code is not None:
        return "Pacecap still running (it ended, exit %r)" % exit_code
    if PROMPT not in screen:
        return "the prompt %r on its console screen" % PROMPT
    if markers is not None and markers < 0:
        return "a count of the markers in its input (ConsoleKey could not count them)"
    if markers:
        return "the marker gone from its input (flushed, or read by Pacecap's wait)"
    return None


def waiting_cases(exe, kit):
    """Polls, each wait bounded, until the prompt is on the screen and the
    input has been flushed, then presses a key; no fixed sleep comes first."""
    console_key = str(kit / "ConsoleKey.exe")
    process = subprocess.Popen([exe, "0"], creationflags=subprocess.CREATE_NEW_CONSOLE)

    def helper(*args):
        return subprocess.run([console_key, str(process.pid)] + list(args), capture_output=True, timeout=RUN_TIMEOUT)

    def screen():
        ran = helper("read")
        return ran.stdout.decode("ascii", "replace") if ran.returncode == 0 else ""

    def markers():
        ran = helper("marked")
        text = ran.stdout.decode("ascii", "replace").strip()
        return int(text) if ran.returncode == 0 and text.isdigit() else -1

    try:
        shown = poll(lambda: awaited(process.poll(), screen()) is None, PROMPT_SECONDS, 0.1)
        last = awaited(process.poll(), screen())
        check("in a new console, Pacecap 0 shows its prompt and keeps running",
              shown and last is None, "never seen within %d s: %s" % (PROMPT_SECONDS, last))
        if last is not None:
            skip(2, "its input flushed; a key ends it", "the prompt was never seen")
            return
        marked = helper("mark")
        gone = poll(lambda: awaited(process.poll(), screen(), markers()) is None, FLUSH_SECONDS, 0.1)
        last = awaited(process.poll(), screen(), markers())
        check("its input is flushed and read: a marker put into it after the prompt is taken",
              marked.returncode == 0 and gone and last is None,
              "ConsoleKey mark exit %d; never seen within %d s: %s" % (marked.returncode, FLUSH_SECONDS, last))
        pressed = helper()
        try:
            code = process.wait(timeout=NO_WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            code = None
        check("a key then ends it, exit 0 within %d s" % NO_WAIT_SECONDS, pressed.returncode == 0 and code == 0,
              "ConsoleKey exit %d, Pacecap exit %r" % (pressed.returncode, code))
    finally:
        if process.poll() is None:
            process.kill()


# --- Folders and their access rules -----------------------------------------

def removed(folder, timeout=10):
    """Removes folder and all in it; tries again for a while, since a
    scanner may still hold a file that was just written. True when gone."""
    def attempt():
        shutil.rmtree(folder, ignore_errors=True)
        return not folder.exists()
    return poll(attempt, timeout)


def icacls(path, *args):
    subprocess.run(["icacls", str(path)] + list(args), check=True, capture_output=True, timeout=RUN_TIMEOUT)


@contextlib.contextmanager
def protected_folder():
    """A new folder under %ProgramFiles% that only SYSTEM and Administrators
    can change, as Program Files itself. Its rules are set, not inherited:
    Program Files' CREATOR OWNER rule would give the job's own account full
    control of it, which the roll-out scripts running as SYSTEM rightly do
    not trust. Removed afterwards, and checked to be gone."""
    root = Path(os.environ["ProgramFiles"]) / ("PacecapTest-" + secrets.token_hex(4))
    root.mkdir()
    try:
        icacls(root, "/grant:r", "*%s:(OI)(CI)F" % SYSTEM_SID, "*%s:(OI)(CI)F" % ADMINISTRATORS_SID,
               "*%s:(OI)(CI)RX" % USERS_SID)
        icacls(root, "/inheritance:r")
        yield root
    finally:
        check("the job's folder %s is removed" % root, removed(root))


class Layout:
    """What the job puts in its protected folder. Copies are made with
    copyfile, so each new file takes its folder's inherited rules; then all
    is given to Administrators, whoever the job's token names as owner of
    what it makes, so that only the rules below make a difference.
      bin          the exe under test
      scripts      the roll-out scripts alone, as the release ships them
      kit          the same scripts with the exe beside them
      marker       RunMarker.exe named Pacecap.exe
      user-writable              Users may modify it, and it holds a marker
      user-writable/admin-only   only SYSTEM and Administrators, no inherited
                                 rules, and another marker
      runs         what the runs as SYSTEM write, one folder each"""

    def __init__(self, root, exe, kit):
        self.root = root
        self.bin, self.scripts, self.kit = root / "bin", root / "scripts", root / "kit"
        self.marker, self.user_writable, self.runs = root / "marker", root / "user-writable", root / "runs"
        self.admin_only = self.user_writable / "admin-only"
        for folder in (self.bin, self.scripts, self.kit, self.marker, self.user_writable, self.runs):
            folder.mkdir()
        self.run_marker = kit / "RunMarker.exe"
        for folder in (self.bin, self.kit):
            shutil.copyfile(exe, folder / "Pacecap.exe")
        for folder in (self.scripts, self.kit):
            subprocess.run([sys.executable, str(ROOT / "release" / "standalone.py"), str(folder)], check=True,
                           capture_output=True, timeout=RUN_TIMEOUT)
        icacls(self.user_writable, "/grant", "*%s:(OI)(CI)M" % USERS_SID)
        self.admin_only.mkdir()
        icacls(self.admin_only, "/grant:r", "*%s:(OI)(CI)F" % SYSTEM_SID, "*%s:(OI)(CI)F" % ADMINISTRATORS_SID)
        icacls(self.admin_only, "/inheritance:r")
        for folder in (self.marker, self.user_writable, self.admin_only):
            shutil.copyfile(self.run_marker, folder / "Pacecap.exe")
        icacls(root, "/setowner", "*%s" % ADMINISTRATORS_SID, "/T")

    @staticmethod
    def ran(folder):
        """The file that RunMarker leaves beside itself when it is started."""
        return folder / "Pacecap.exe.ran"


def parse_security(text):
    """(owner SID, access rules) from what security prints: the owner's SID,
    then one "SID rights type inherited propagation" line per rule."""
    lines = text.splitlines()
    rules = []
    for line in lines[1:]:
        sid, rights, kind, inherited, propagation = line.split()
        rules.append(Rule(sid, int(rights) & 0xFFFFFFFF, kind == "Allow", inherited == "True",
                          bool(int(propagation) & INHERIT_ONLY)))
    return (lines[0].strip() if lines else None), rules


def security(path):
    """(owner SID, access rules) of a file or folder."""
    ran = powershell(
        "$ErrorActionPreference = 'Stop'\n"
        "$sid = [System.Security.Principal.SecurityIdentifier]\n"
        "$acl = Get-Acl -LiteralPath %s\n"
        "$acl.GetOwner($sid).Value\n"
        "foreach ($rule in $acl.GetAccessRules($true, $true, $sid)) {\n"
        "    '{0} {1} {2} {3} {4}' -f $rule.IdentityReference.Value, [int]$rule.FileSystemRights,"
        " $rule.AccessControlType, $rule.IsInherited, [int]$rule.PropagationFlags\n"
        "}" % ps_quote(path))
    if ran.code != 0:
        raise RuntimeError("the security of %s could not be read: %s" % (path, ran.err))
    return parse_security(ran.out)


def untrusted_writes(rules):
    """The rules that let anyone but SYSTEM, Administrators and
    TrustedInstaller replace, move aside or re-permit the item itself (rules
    only for its children do not count)."""
    return [rule for rule in rules if rule.allow and not rule.inherit_only and rule.rights & WRITE_RIGHTS
            and rule.sid not in TRUSTED_SIDS | PLACEHOLDER_SIDS]


# Each refused as SYSTEM: exit 4 and no marker started. A row: what it shows,
# the candidate that -Pacecap names, and the steps that make it under a new
# folder in the job's protected one, in order: a path ending in .exe is a
# marker copy, any other a folder; the grant, if any, is icacls' own syntax,
# {account} standing for a new standard local account's SID. Folders get
# their grants before what is in them is made, so that inherited rules reach it.
USERS = "*" + USERS_SID
REFUSALS = [
    ("Users may only write the file's attributes", "attributes/Pacecap.exe",
     [("attributes", None), ("attributes/Pacecap.exe", USERS + ":(WA)")]),
    ("a [x] folder beside a folder x that Users may change", "[x]/Pacecap.exe",
     [("x", USERS + ":(OI)(CI)M"), ("x/Pacecap.exe", None), ("[x]", None), ("[x]/Pacecap.exe", None)]),
    ("an inherited full-control entry for a standard local account", "account/Pacecap.exe",
     [("account", "*{account}:(OI)(CI)F"), ("account/Pacecap.exe", None)]),
    ("Users may delete the folder's children", "delete-child/Pacecap.exe",
     [("delete-child", USERS + ":(DC)"), ("delete-child/Pacecap.exe", None)]),
    ("Users may change an ancestor's permissions", "ancestor/inner/Pacecap.exe",
     [("ancestor", USERS + ":(WDAC)"), ("ancestor/inner", None), ("ancestor/inner/Pacecap.exe", None)]),
]


@contextlib.contextmanager
def local_account():
    """Yields the SID of a new standard local account, disabled and without
    a password, that only access rules name; deletes it afterwards."""
    name = "PacecapT" + secrets.token_hex(4)
    made = powershell("$ErrorActionPreference = 'Stop'\n"
                      "(New-LocalUser -Name %s -NoPassword -Disabled -Description 'Pacecap job, deleted after it').SID.Value"
                      % ps_quote(name))
    if made.code != 0:
        raise RuntimeError("the local account could not be made: %s" % made.err)
    try:
        yield made.out
    finally:
        gone = powershell("Remove-LocalUser -Name %s -ErrorAction Stop" % ps_quote(name))
        check("the local account %s is deleted" % name, gone.code == 0, gone)


def make_case(base, steps, run_marker, account, set_rules=icacls):
    """Makes a REFUSALS row's steps under base; returns the markers made."""
    markers = []
    for path, grant in steps:
        item = base / path
        if item.suffix == ".exe":
            shutil.copyfile(run_marker, item)
            markers.append(item)
        else:
            item.mkdir()
        if grant:
            set_rules(item, "/grant", grant.format(account=account))
    return markers


# --- The machine's PATH in the registry --------------------------------------

def registry_functions():
    """ctypes, wintypes and advapi32's RegQueryValueExW and RegSetValueExW,
    which read and write a value's bytes as stored: no expansion of
    REG_EXPAND_SZ and no change of its kind."""
    import ctypes
    from ctypes import wintypes

    advapi32 = ctypes.WinDLL("advapi32")
    query = advapi32.RegQueryValueExW
    query.argtypes = [wintypes.HKEY, wintypes.LPCWSTR, wintypes.LPDWORD, wintypes.LPDWORD, ctypes.c_void_p,
                      wintypes.LPDWORD]
    query.restype = wintypes.LONG
    store = advapi32.RegSetValueExW
    store.argtypes = [wintypes.HKEY, wintypes.LPCWSTR, wintypes.DWORD, wintypes.DWORD, ctypes.c_char_p,
                      wintypes.DWORD]
    store.restype = wintypes.LONG
    return ctypes, wintypes, query, store


def read_machine_path():
    """(kind, data): the machine's Path value byte for byte."""
    import winreg

    ctypes, wintypes, query, _ = registry_functions()
    with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, ENVIRONMENT_KEY, 0, winreg.KEY_QUERY_VALUE) as key:
        kind, size = wintypes.DWORD(), wintypes.DWORD()
        status = ERROR_MORE_DATA
        while status == ERROR_MORE_DATA:  # the value grew between the two calls: ask again
            status = query(int(key), "Path", None, ctypes.byref(kind), None, ctypes.byref(size))
            if status:
                raise ctypes.WinError(status)
            buffer = ctypes.create_string_buffer(size.value)
            status = query(int(key), "Path", None, ctypes.byref(kind), buffer, ctypes.byref(size))
        if status:
            raise ctypes.WinError(status)
        return kind.value, buffer.raw[:size.value]


def write_machine_path(kind, data):
    import winreg

    ctypes, _, _, store = registry_functions()
    with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, ENVIRONMENT_KEY, 0, winreg.KEY_SET_VALUE) as key:
        status = store(int(key), "Path", 0, kind, data, len(data))
        if status:
            raise ctypes.WinError(status)


def path_with(data, folder):
    """A Path value's data (UTF-16LE, REG_SZ or REG_EXPAND_SZ) with folder
    added at the end; the entries before it stay as stored, unexpanded."""
    text = data.decode("utf-16-le").split("\0", 1)[0]
    separator = "" if not text or text.endswith(";") else ";"
    return (text + separator + folder + "\0").encode("utf-16-le")


def machine_path_restored(read=read_machine_path, write=write_machine_path):
    return restored(lambda original: "the machine's Path value is back byte for byte, kind %d" % original[0],
                    read, write, lambda now: "kind %d, %d bytes: %r" % (now[0], len(now[1]), now[1][:200]))


# --- Scheduled tasks and the System log -------------------------------------

def parse_task_state(text):
    """(state, last run time in ticks, last result) from task_state's line."""
    parts = text.split()
    return (parts[0], int(parts[1]), int(parts[2])) if len(parts) == 3 else None


def task_state(name):
    """(state, last run time in ticks, last result) of a task, or None when
    there is no such task."""
    return parse_task_state(powershell(
        "$task = Get-ScheduledTask -TaskName %s -ErrorAction SilentlyContinue\n"
        "if ($task) {\n"
        "    $info = $task | Get-ScheduledTaskInfo\n"
        "    '{0} {1} {2}' -f $task.State, [int64]$info.LastRunTime.Ticks, [int64]$info.LastTaskResult\n"
        "}" % ps_quote(name)).out)


def poll(probe, timeout, interval=1.0):
    """probe()'s first true result within timeout seconds, else its last."""
    deadline = time.monotonic() + timeout
    result = probe()
    while not result and time.monotonic() < deadline:
        time.sleep(interval)
        result = probe()
    return result


def wait_for_run(name, before, timeout):
    """The task's state once a run that started after `before` (a last run
    time in ticks) has ended, or None when none has within timeout."""
    def ended():
        state = task_state(name)
        return state if state and state[1] != before and state[0] not in ("Running", "Queued") else None
    return poll(ended, timeout)


def wait_until_idle(name, timeout=60):
    return poll(lambda: (task_state(name) or ("gone",))[0] not in ("Running", "Queued"), timeout)


def start_and_wait(name, timeout=60):
    before = task_state(name)
    started = powershell("Start-ScheduledTask -TaskName %s" % ps_quote(name))
    return wait_for_run(name, before[1] if before else None, timeout) if started.code == 0 else None


def unregister(name):
    powershell("Unregister-ScheduledTask -TaskName %s -Confirm:$false -ErrorAction SilentlyContinue" % ps_quote(name))


def register_system_task(name, execute, argument=""):
    """Registers a task that runs execute as SYSTEM, on battery as well."""
    return powershell(
        "$action = New-ScheduledTaskAction -Execute %s%s\n"
        "$principal = New-ScheduledTaskPrincipal -UserId '%s' -LogonType ServiceAccount -RunLevel Highest\n"
        "$settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries"
        " -ExecutionTimeLimit (New-TimeSpan -Minutes 5)\n"
        "Register-ScheduledTask -TaskName %s -Action $action -Principal $principal -Settings $settings -Force"
        " -ErrorAction Stop | Out-Null"
        % (ps_quote(execute), " -Argument " + ps_quote(argument) if argument else "", SYSTEM_SID, ps_quote(name)))


# Run by a task as SYSTEM: runs one script as Intune does and keeps its
# output, then its exit code, each in a file beside this one. The code file
# appears by a rename, so once it is there both are complete.
SYSTEM_WRAPPER = """\
$ErrorActionPreference = 'Continue'
$powershell = Join-Path $env:SystemRoot 'System32\\WindowsPowerShell\\v1.0\\powershell.exe'
$lines = @(& $powershell -NoProfile -NonInteractive -ExecutionPolicy Bypass -File %(script)s %(args)s 2>&1 |
    ForEach-Object { "$_" })
$code = $LASTEXITCODE
[IO.File]::WriteAllText(%(output)s, ($lines -join "`r`n"))
[IO.File]::WriteAllText(%(pending)s, "$code")
Move-Item -LiteralPath %(pending)s -Destination %(done)s
exit $code
"""


def run_as_system(folder, script, *args, timeout=120):
    """Runs a roll-out script as SYSTEM, by powershell.exe -File as Intune
    does, through a temporary task; returns Ran(exit code, output, ""). The
    wrapper the task starts, and what it writes, are in folder (new, under
    the job's protected folder)."""
    folder.mkdir()
    output, pending, done = folder / "output.txt", folder / "code.tmp", folder / "code.txt"
    wrapper = folder / "run.ps1"
    wrapper.write_text(SYSTEM_WRAPPER % {
        "script": ps_quote(script), "args": " ".join(ps_quote(arg) for arg in args), "output": ps_quote(output),
        "pending": ps_quote(pending), "done": ps_quote(done)}, encoding="utf-8-sig")
    icacls(folder, "/setowner", "*%s" % ADMINISTRATORS_SID, "/T")
    powershell_exe = os.path.join(os.environ["SystemRoot"], "System32", "WindowsPowerShell", "v1.0", "powershell.exe")
    registered = register_system_task(SYSTEM_TASK, powershell_exe,
                                      '-NoProfile -NonInteractive -ExecutionPolicy Bypass -File "%s"' % wrapper)
    try:
        if registered.code != 0:
            raise RuntimeError("the task could not be registered: %s" % registered.err)
        started = powershell("Start-ScheduledTask -TaskName %s" % ps_quote(SYSTEM_TASK))
        if started.code != 0:
            raise RuntimeError("the task could not be started: %s" % started.err)
        if not poll(done.exists, timeout, 0.5):
            raise RuntimeError("no exit code within %d s; task state %r" % (timeout, task_state(SYSTEM_TASK)))
        wait_until_idle(SYSTEM_TASK)
        return Ran(int(done.read_text()), output.read_text(encoding="utf-8", errors="replace").strip(), "")
    finally:
        unregister(SYSTEM_TASK)


def parse_events(text):
    """(record id, provider, event id, ProcessPath or None) of each event in
    the list that read_events prints, oldest first."""
    events = []
    for event in ET.fromstring(text).iter(EVENT_NS + "Event"):
        system = event.find(EVENT_NS + "System")
        path = None
        for data in event.iter(EVENT_NS + "Data"):
            if data.get("Name") == "ProcessPath":
                path = data.text
        events.append((int(system.findtext(EVENT_NS + "EventRecordID")), system.find(EVENT_NS + "Provider").get("Name"),
                       int(system.findtext(EVENT_NS + "EventID")), path))
    return sorted(events)


def read_events(query):
    """The System-log events that query (an XPath or a structured query, as
    a task's subscription is) selects, by the event log's own reader; None
    when the reader refuses the query (any error stops the command)."""
    ran = powershell(
        "$ErrorActionPreference = 'Stop'\n"
        "$query = New-Object System.Diagnostics.Eventing.Reader.EventLogQuery -ArgumentList 'System',"
        " ([System.Diagnostics.Eventing.Reader.PathType]::LogName), %s\n"
        "$reader = New-Object System.Diagnostics.Eventing.Reader.EventLogReader -ArgumentList $query\n"
        "$text = New-Object System.Text.StringBuilder\n"
        "[void]$text.Append('<Events>')\n"
        "while ($null -ne ($record = $reader.ReadEvent())) { [void]$text.Append($record.ToXml()); $record.Dispose() }\n"
        "[void]$text.Append('</Events>')\n"
        "$text.ToString()" % ps_quote(query))
    return parse_events(ran.out) if ran.code == 0 else None


def scheme_events(after):
    """The active-scheme events (UserModePowerService 12) logged after record
    id `after`, oldest first."""
    return [event for event in read_events(SCHEME_EVENTS) or [] if event[0] > after]


def last_scheme_event():
    return max((event[0] for event in read_events(SCHEME_EVENTS) or []), default=0)


def same_path(a, b):
    return a is not None and b is not None and a.replace("/", "\\").lower() == b.replace("/", "\\").lower()


def by_powercfg(event):
    return (event[3] or "").lower().endswith("\\powercfg.exe")


# --- A task's definition ------------------------------------------------------

def task_definition(text):
    """Triggers (kind, subscription, delay), the first action's command and
    arguments, the principal's user and the time limit of a task's XML
    definition."""
    task = ET.fromstring(re.sub(r"^\s*<\?xml[^>]*\?>", "", text))
    triggers = [(trigger.tag.split("}")[-1], trigger.findtext("t:Subscription", None, TASK_NS),
                 trigger.findtext("t:Delay", None, TASK_NS)) for trigger in task.find("t:Triggers", TASK_NS)]
    return {"triggers": triggers,
            "command": task.findtext("t:Actions/t:Exec/t:Command", "", TASK_NS),
            "arguments": task.findtext("t:Actions/t:Exec/t:Arguments", "", TASK_NS),
            "user": task.findtext("t:Principals/t:Principal/t:UserId", "", TASK_NS),
            "time_limit": task.findtext("t:Settings/t:ExecutionTimeLimit", None, TASK_NS)}


def subscription_terms(text):
    """Of an event subscription (a structured query): the logs its Select
    and Suppress elements read, the providers and event ids its Selects
    name, and the text of its Suppress elements."""
    query = ET.fromstring(text)
    selects, suppresses = query.findall("Query/Select"), query.findall("Query/Suppress")
    selected = " ".join(element.text or "" for element in selects)
    return {"logs": {element.get("Path") for element in selects + suppresses},
            "providers": set(re.findall(r"@Name\s*=\s*'([^']+)'", selected)),
            "ids": {int(number) for number in re.findall(r"EventID\s*=\s*(\d+)", selected)},
            "suppress": [element.text or "" for element in suppresses]}


def split_arguments(text):
    """A command line's arguments, double quotes around one removed."""
    return [token[1:-1] if token.startswith('"') else token for token in re.findall(r'"[^"]*"|\S+', text)]


def action_problems(command, arguments, env, script, exe, plugged_in, on_battery):
    """What keeps a task's action from being Windows PowerShell running
    script -Pacecap exe -PluggedIn plugged_in -OnBattery on_battery with no
    profile, no prompts and execution policy Bypass; [] when nothing does.
    env expands %VARIABLE% references as the task would."""
    def expand(text):
        return re.sub(r"%([^%]+)%", lambda match: env.get(match.group(1).upper(), match.group(0)), text)

    problems = []
    wanted = env.get("SYSTEMROOT", "") + r"\System32\WindowsPowerShell\v1.0\powershell.exe"
    if not same_path(expand(command), wanted):
        problems.append("command %r is not %s" % (command, wanted))
    tokens = split_arguments(arguments)
    lowered = [token.lower() for token in tokens]

    def after(name):
        index = lowered.index(name.lower()) if name.lower() in lowered else len(tokens)
        return (index, tokens[index + 1] if index + 1 < len(tokens) else None)

    file_index, file = after("-File")
    for switch in ("-NoProfile", "-NonInteractive", "-ExecutionPolicy"):
        if switch.lower() not in lowered or lowered.index(switch.lower()) > file_index:
            problems.append("%s is missing or comes after -File" % switch)
    if (after("-ExecutionPolicy")[1] or "").lower() != "bypass":
        problems.append("the execution policy is not Bypass")
    if not same_path(file and expand(file), script):
        problems.append("-File runs %r, not %s" % (file, script))
    index, given = after("-Pacecap")
    if not same_path(given and expand(given), exe) or index < file_index:
        problems.append("the script is not given -Pacecap %s" % exe)
    for name, value in (("-PluggedIn", plugged_in), ("-OnBattery", on_battery)):
        index, given = after(name)
        if given != str(value) or index < file_index:
            problems.append("the script is not given %s %s" % (name, value))
    return problems


def is_system(user):
    return user.upper() in (SYSTEM_SID, "SYSTEM", "NT AUTHORITY\\SYSTEM")


def parse_provider_events(text):
    """{event id: [(log, description)]} from provider_events' lines."""
    found = {}
    for line in text.splitlines():
        number, log, description = (line.split("\t") + ["", ""])[:3]
        found.setdefault(int(number), []).append((log, description))
    return found


def provider_events(provider, ids):
    """The events ids of provider as its manifest declares them, through the
    event log's documented metadata classes: {id: [(log, description)]};
    None when no such provider is registered."""
    ran = powershell(
        "$ErrorActionPreference = 'Stop'\n"
        "$name = %s\n"
        "if (@([System.Diagnostics.Eventing.Reader.EventLogSession]::GlobalSession.GetProviderNames())"
        " -notcontains $name) { 'absent'; exit 0 }\n"
        "$metadata = New-Object System.Diagnostics.Eventing.Reader.ProviderMetadata -ArgumentList $name\n"
        "foreach ($item in $metadata.Events) {\n"
        "    if (@(%s) -contains $item.Id) {\n"
        "        \"{0}`t{1}`t{2}\" -f $item.Id, $item.LogLink.LogName, ($item.Description -replace '\\s+', ' ')\n"
        "    }\n"
        "}" % (ps_quote(provider), ", ".join(str(number) for number in ids)))
    if ran.code != 0:
        raise RuntimeError("the manifest of %s could not be read: %s" % (provider, ran.err))
    return None if ran.out == "absent" else parse_provider_events(ran.out)


# --- Processors ----------------------------------------------------------------

def pe_machine(data):
    """The target of a PE image's bytes, by MACHINES' name or in hex."""
    at = int.from_bytes(data[0x3C:0x40], "little")  # e_lfanew
    if data[:2] != b"MZ" or data[at:at + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    number = int.from_bytes(data[at + 4:at + 6], "little")
    return MACHINES.get(number, "0x%04X" % number)


def native_machine():
    """This machine's own processor, which IsWow64Process2 names also to an
    emulated process."""
    import ctypes
    from ctypes import wintypes

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.GetCurrentProcess.restype = wintypes.HANDLE
    kernel32.GetCurrentProcess.argtypes = []
    kernel32.IsWow64Process2.restype = wintypes.BOOL
    kernel32.IsWow64Process2.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.USHORT),
                                         ctypes.POINTER(wintypes.USHORT)]
    process, native = wintypes.USHORT(), wintypes.USHORT()
    if not kernel32.IsWow64Process2(kernel32.GetCurrentProcess(), ctypes.byref(process), ctypes.byref(native)):
        raise ctypes.WinError(ctypes.get_last_error())
    return MACHINES.get(native.value, "0x%04X" % native.value)


def machine_cases(exe, kit, emulated):
    """The job tests what it means to: the exe and the tools for this
    machine's processor, and for the emulated figures an x64 exe on another."""
    native = native_machine()
    found = {str(path): pe_machine(path.read_bytes())
             for path in [Path(exe)] + sorted(kit.glob("*.exe")) + sorted(kit.glob("*.dll"))}
    check("the exe under test and the kit's tools are built for this machine's processor (%s)" % native,
          set(found.values()) == {native}, found)
    if emulated:
        found = pe_machine(Path(emulated).read_bytes())
        check("the exe to run under emulation is x64, on a machine that is not", found == "x64" != native,
              (found, native))


# --- The PowerShell suite -------------------------------------------------------

def pester_folder(locals_output, project):
    """The folder that holds Pester.psd1, restored from NuGet: the global
    packages folder as `dotnet nuget locals global-packages --list` prints
    it, then the package as NuGet lays it out (lower-case id, the version
    that the project pins)."""
    version = re.search(r'<PackageDownload\s+Include="Pester"\s+Version="\[([^\]]+)\]"', project).group(1)
    return ntpath.join(global_packages(locals_output), "pester", version, "tools")


def global_packages(locals_output):
    return re.search(r"^global-packages:\s*(.+?)\s*$", locals_output, re.M).group(1)


def suite_counts(text):
    """(passed, failed, skipped) from a suite's last "N passed, M failed"
    line, or None when it has none."""
    found = re.findall(r"^(\d+) passed, (\d+) failed(?:, (\d+) skipped)?\s*$", text, re.M)
    return tuple(int(number or 0) for number in found[-1]) if found else None


def pester_hosts(manifest, packages, frameworks):
    """(name, command, start of the version it must report, up to a dot) of
    each PowerShell that runs the suite: Windows PowerShell 5.1, and the pwsh
    of the tool manifest, as dotnet running its pwsh.dll from the package in
    the global packages folder (frameworks: the folders in its tools folder,
    one). Not through `dotnet tool run`: the tool's command is a shim that
    starts an x64 pwsh.exe, which an ARM64 machine cannot run natively."""
    pinned = json.loads(manifest)["tools"]["powershell"]["version"]
    if len(frameworks) != 1:
        raise ValueError("the powershell %s package holds %r, not one framework's folder" % (pinned, frameworks))
    windows_powershell = ntpath.join(os.environ.get("SystemRoot", r"C:\Windows"), "System32", "WindowsPowerShell",
                                     "v1.0", "powershell.exe")
    dll = ntpath.join(packages, "powershell", pinned, "tools", frameworks[0], "any", "win", "pwsh.dll")
    return [("Windows PowerShell 5.1", [windows_powershell], "5.1."),
            ("pwsh %s" % pinned, ["dotnet", dll], pinned + ".")]


# Ways to start pwsh by name: the dotnet tool's command, a command line that
# begins with it, and a Python argument list that does.
PWSH_STARTS = [re.compile(pattern, re.IGNORECASE) for pattern in (
    r"\btool\s+run\s+pwsh\b",
    r"(^|[;&|(]\s*|\brun:\s*)pwsh(\.exe)?(\s|$)",
    r"""["']run["']\s*,\s*["']pwsh(\.exe)?["']""",
    r"""\[\s*["']pwsh(\.exe)?["']""")]


def pwsh_starts(workflow_text, script_text):
    """Where a Windows job of the workflow, or this script, starts pwsh by
    name, as (where, what): a step whose shell is pwsh (GitHub's default on
    Windows where a job names none), or a line that starts it. On ARM64 the
    pwsh that the job restores is an x64 shim; the jobs use Windows
    PowerShell, and this script runs dotnet with pwsh.dll."""
    import yaml

    found = []
    workflow = yaml.safe_load(workflow_text)
    shell_of = lambda holder: holder.get("defaults", {}).get("run", {}).get("shell")  # noqa: E731
    for name, job in workflow.get("jobs", {}).items():
        rows = job.get("strategy", {}).get("matrix", {}).get("include", [])
        if not any("windows" in str(runner) for runner in [job.get("runs-on")] + [row.get("runner") for row in rows]):
            continue
        default = shell_of(job) or shell_of(workflow) or "pwsh"
        for number, step in enumerate(job.get("steps", []), 1):
            if "run" not in step:
                continue
            where = "%s step %d (%s)" % (name, number, step.get("name", "unnamed"))
            if step.get("shell", default) == "pwsh":
                found.append((where, "shell: pwsh"))
            found += [(where, line.strip()) for line in step["run"].splitlines()
                      if any(pattern.search(line) for pattern in PWSH_STARTS)]
    found += [("real_windows.py line %d" % number, line.strip())
              for number, line in enumerate(script_text.splitlines(), 1)
              if any(pattern.search(line) for pattern in PWSH_STARTS)]
    return found


def pester_cases():
    """The same Pester suite as on Linux, under each of pester_hosts."""
    listed = subprocess.run(["dotnet", "nuget", "locals", "global-packages", "--list"], capture_output=True,
                            text=True, timeout=120, cwd=ROOT)
    folder = pester_folder(listed.stdout, (ROOT / "tests" / "powershell" / "Pester.csproj").read_text())
    check("Pester, restored from NuGet, is in %s" % folder, os.path.isfile(ntpath.join(folder, "Pester.psd1")))
    suite = str(ROOT / "tests" / "powershell" / "Invoke-Suite.ps1")
    manifest = (ROOT / ".config" / "dotnet-tools.json").read_text()
    tools = Path(global_packages(listed.stdout)) / "powershell" / json.loads(manifest)["tools"]["powershell"]["version"]
    hosts = pester_hosts(manifest, global_packages(listed.stdout),
                         sorted(path.name for path in (tools / "tools").iterdir() if path.is_dir()))
    check("the pinned pwsh.dll is in %s" % hosts[1][1][1], os.path.isfile(hosts[1][1][1]))
    for name, command, version in hosts:
        shown = subprocess.run(command + ["-NoProfile", "-NonInteractive", "-Command",
                                          "$PSVersionTable.PSVersion.ToString()"],
                               capture_output=True, text=True, timeout=300, cwd=ROOT)
        check("%s reports version %s" % (name, version.rstrip(".")), (shown.stdout.strip() + ".").startswith(version),
              shown)
        ran = subprocess.run(command + ["-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-File", suite,
                                        "-PesterPath", folder],
                             capture_output=True, text=True, errors="replace", timeout=900, cwd=ROOT)
        print(ran.stdout + ran.stderr)
        counts = suite_counts(ran.stdout)
        check("the PowerShell suite under %s: exit 0, all passed" % name,
              ran.returncode == 0 and counts is not None and counts[0] > 0 and counts[1] == 0,
              (ran.returncode, counts))


# --- The groups of checks ----------------------------------------------------

def rollout_cases(layout):
    """The detection and remediation pair in the job's elevated session, with
    the protected copy of the exe: not compliant, remediate, compliant,
    already set; a copy that Users may change is refused and not started."""
    exe = layout.bin / "Pacecap.exe"

    def script(name, *args):
        return run_script(ROOT / "deploy" / name, "-Pacecap", exe, *args)

    with scheme_restored():
        write_scheme(100, 100)
        detected = script("Detect-Pacecap.ps1")
        check("detection: 100/100 is not compliant with 99/80 (exit 1)", detected.code == 1, detected)
        remedied, now = script("Remediate-Pacecap.ps1"), read_scheme()
        check("remediation sets 99/80 and passes exit 0 on", remedied.code == 0 and now == (99, 80), (remedied, now))
        detected = script("Detect-Pacecap.ps1")
        check("detection: now compliant (exit 0)", detected.code == 0, detected)
        again = script("Remediate-Pacecap.ps1")
        check("remediation when 99/80 already hold: first line \"Already set:\", exit 0",
              again.code == 0 and first_line(again.out).startswith("Already set:"), again)
        refused_value = script("Remediate-Pacecap.ps1", "-PluggedIn", "101")
        check("remediation of 101: exit 1", refused_value.code == 1, refused_value)
    marker = layout.user_writable / "Pacecap.exe"
    layout.ran(layout.user_writable).unlink(missing_ok=True)
    ran = run_script(ROOT / "deploy" / "Remediate-Pacecap.ps1", "-Pacecap", marker)
    check("elevated remediation refuses a Pacecap.exe that Users may change, and does not start it",
          refused(ran, marker) and not layout.ran(layout.user_writable).exists(), ran)


def layout_cases(layout):
    """The folders are what the refusals and their control assume: all of it
    is owned by Administrators, Users may change the user-writable folder and
    what is in it, and nobody else but SYSTEM and Administrators may change
    anything."""
    items = [layout.root, layout.marker, layout.bin, layout.scripts, layout.kit, layout.user_writable,
             layout.admin_only] + [folder / "Pacecap.exe" for folder in (layout.marker, layout.bin, layout.kit,
                                                                          layout.user_writable, layout.admin_only)]
    found = {item: security(item) for item in items}
    owners = {item: owner for item, (owner, _) in found.items() if owner != ADMINISTRATORS_SID}
    check("setup: Administrators own the job's folders and files", not owners, owners)
    exposed = {item: untrusted_writes(rules) for item, (_, rules) in found.items()}
    writable = (layout.user_writable, layout.user_writable / "Pacecap.exe")
    check("setup: Users may change the user-writable folder and the marker in it",
          all(any(rule.sid == USERS_SID for rule in exposed[item]) for item in writable), exposed)
    check("setup: only SYSTEM and Administrators may change anything else of the job's",
          not any(exposed[item] for item in items if item not in writable), exposed)
    rules = found[layout.admin_only][1]
    check("setup: the admin-only folder has no inherited rules and allows only SYSTEM and Administrators",
          {rule.sid for rule in rules} == {SYSTEM_SID, ADMINISTRATORS_SID}
          and not any(rule.inherited for rule in rules), rules)


def not_found(ran, marker_folder, layout):
    """Whether a roll-out script found no Pacecap.exe (exit 4, "not found")
    and left the marker in marker_folder unstarted."""
    return (ran.code == 4 and first_line(ran.out).startswith("Pacecap.exe was not found")
            and not layout.ran(marker_folder).exists())


def machine_path_cases(layout):
    """Pacecap on the machine's PATH as the registry holds it now: an
    elevated run, the job's own or SYSTEM's, never searches it, even for a
    copy in a protected folder; 32-bit detection runs again in the 64-bit
    PowerShell with -Pacecap passed on."""
    installed = Path(os.environ["ProgramFiles"]) / "Pacecap" / "Pacecap.exe"
    if installed.exists():
        skip(5, "Pacecap.exe on the machine's PATH", "the scripts use %s when elevated, and it is here" % installed)
        return
    x86 = os.path.join(os.environ["SystemRoot"], "SysWOW64", "WindowsPowerShell", "v1.0", "powershell.exe")
    detect = ROOT / "deploy" / "Detect-Pacecap.ps1"
    exe = layout.bin / "Pacecap.exe"
    with machine_path_restored() as (kind, data):
        if kind not in (REG_SZ, REG_EXPAND_SZ):
            raise ValueError("the machine's Path value is of kind %d" % kind)
        write_machine_path(kind, path_with(data, str(layout.marker)))
        with scheme_restored():
            write_scheme(99, 80)
            ran = powershell("& %s -Pacecap %s; exit $LASTEXITCODE" % (ps_quote(detect), ps_quote(exe)), exe=x86)
            check("32-bit detection runs again in 64-bit PowerShell with -Pacecap: compliant, exit 0",
                  ran.code == 0 and ran.out.startswith("Compliant"), ran)
            ran = powershell("& %s -Pacecap %s -ConfigMgr -PluggedIn 98; exit $LASTEXITCODE" % (ps_quote(detect), ps_quote(exe)),
                             exe=x86)
            check("-ConfigMgr: NonCompliant, exit 0", (ran.code, ran.out) == (0, "NonCompliant"), ran)
            ran = powershell("& %s -Pacecap %s -ConfigMgr; exit $LASTEXITCODE" % (ps_quote(detect), ps_quote(exe)), exe=x86)
            check("-ConfigMgr: Compliant, exit 0", (ran.code, ran.out) == (0, "Compliant"), ran)
        layout.ran(layout.marker).unlink(missing_ok=True)
        ran = run_script(detect)
        check("elevated detection does not search the PATH: a marker there in a protected folder is not started, "
              "exit 4, not found", not_found(ran, layout.marker, layout), ran)
        ran = run_as_system(layout.runs / "path-not-searched", layout.scripts / "Detect-Pacecap.ps1")
        check("detection as SYSTEM does not search the PATH either: not started, exit 4, not found",
              not_found(ran, layout.marker, layout), ran)


def system_cases(layout):
    """Detection as SYSTEM with the exe named or beside it, and Pacecap run
    directly by a task as SYSTEM; every file that SYSTEM starts here is in
    the protected folder, but for the one it must refuse."""
    marker = layout.user_writable / "Pacecap.exe"
    layout.ran(layout.user_writable).unlink(missing_ok=True)
    ran = run_as_system(layout.runs / "refused-named", layout.scripts / "Detect-Pacecap.ps1", "-Pacecap", marker)
    check("detection as SYSTEM refuses -Pacecap naming a file that Users may change, and does not start it",
          refused(ran, marker) and not layout.ran(layout.user_writable).exists(), ran)
    with scheme_restored():
        write_scheme(99, 80)
        ran = run_as_system(layout.runs / "accepted-named", layout.scripts / "Detect-Pacecap.ps1",
                            "-Pacecap", layout.bin / "Pacecap.exe", "-PluggedIn", 99, "-OnBattery", 80)
        check("detection as SYSTEM accepts -Pacecap naming the copy under %ProgramFiles%: compliant, exit 0",
              ran.code == 0 and ran.out.startswith("Compliant"), ran)
    installed = Path(os.environ["ProgramFiles"]) / "Pacecap" / "Pacecap.exe"
    if installed.exists():
        skip(1, "detection as SYSTEM passes over the copy beside it", "it would use %s, which is here" % installed)
    else:
        shutil.copyfile(layout.scripts / "Detect-Pacecap.ps1", layout.marker / "Detect-Pacecap.ps1")
        layout.ran(layout.marker).unlink(missing_ok=True)
        ran = run_as_system(layout.runs / "beside-not-used", layout.marker / "Detect-Pacecap.ps1")
        check("detection as SYSTEM does not start the Pacecap.exe beside it, even in a protected folder: exit 4, not found",
              not_found(ran, layout.marker, layout), ran)
    with scheme_restored():
        try:
            registered = register_system_task(CHECK_TASK, layout.bin / "Pacecap.exe", "97 81")
            state = start_and_wait(CHECK_TASK) if registered.code == 0 else None
            now = read_scheme()
        finally:
            unregister(CHECK_TASK)
        check("Pacecap run directly by a task as SYSTEM: last result 0, values 97 and 81",
              state is not None and state[2] == 0 and now == (97, 81), (registered, state, now))


def refusal_cases(layout):
    """Detection as SYSTEM with -Pacecap naming each REFUSALS candidate."""
    with local_account() as account:
        made = []
        for number, (name, candidate, steps) in enumerate(REFUSALS):
            base = layout.root / ("refusal-%d" % number)
            base.mkdir()
            made.append((name, base / candidate, make_case(base, steps, layout.run_marker, account)))
            icacls(base, "/setowner", "*%s" % ADMINISTRATORS_SID, "/T")
        for number, (name, candidate, markers) in enumerate(made):
            ran = run_as_system(layout.runs / ("refusal-%d" % number), layout.scripts / "Detect-Pacecap.ps1",
                                "-Pacecap", candidate)
            started = [str(marker) for marker in markers if layout.ran(marker.parent).exists()]
            check("as SYSTEM, refused with exit 4 and nothing started: %s" % name,
                  refused(ran, candidate) and not started, (ran, started))


# Each refused as SYSTEM before anything reads it, with the form to name
# instead: a row is what it shows and the -Pacecap value, from the marker
# folder's path (a protected copy that is accepted when named plainly).
PATH_FORMS = [
    ("a / as a separator, as a PATH entry C:\\Tools/Pacecap", lambda marker: str(marker.parent) + "/marker\\Pacecap.exe"),
    ("a folder name with a trailing space", lambda marker: str(marker) + " \\Pacecap.exe"),
]


def path_form_cases(layout):
    """The path rule against Windows: its own normalisation of the forms
    whose rule is documented gives the form the scripts name; as SYSTEM each
    PATH_FORMS value is refused, names the plain form and starts nothing; a
    SUBST letter is refused in the job's elevated session (SUBST letters
    belong to one logon session, so SYSTEM would not see it)."""
    forms = ["C:\\Tools/Pacecap\\Pacecap.exe", "C:\\A\\\\B\\.\\x\\..\\Pacecap.exe", "C:\\A\\Pacecap.exe. . "]
    ran = powershell(". %s\n" % ps_quote(ROOT / "deploy" / "shared" / "PacecapShared.ps1") + "\n".join(
        "[IO.Path]::GetFullPath(%s) + '|' + (Get-CanonicalPath %s)" % (ps_quote(form), ps_quote(form)) for form in forms))
    pairs = [line.split("|") for line in ran.out.splitlines()]
    check("the scripts' canonical form is Windows' own for / separators, runs of separators, . and .., and trailing "
          "dots and spaces", len(pairs) == len(forms) and all(a == b for a, b in pairs), (ran, pairs))
    ran = powershell(". %s\n$a = Read-Account\n" % ps_quote(ROOT / "deploy" / "shared" / "PacecapShared.ps1") +
                     "'{0}|{1}|{2}|{3}|{4}' -f $a.User, $a.Integrity, (@($a.Groups) -contains 'S-1-5-32-544'), "
                     "(Test-RunElevated), (Test-Administrator $a)")
    user, integrity, admins, elevated, administrator = (ran.out.split("|") + [""] * 5)[:5]
    check("the job's elevated token as Read-Account reads it: an account SID, Administrators, High integrity or above; "
          "it gets the checks and may register", user.startswith("S-1-5-21-") and integrity.isdigit()
          and int(integrity) >= 0x3000 and (admins, elevated, administrator) == ("True", "True", "True"), ran)
    probe = layout.runs / "account.ps1"
    probe.write_text(". %s\n$a = Read-Account\n'{0}|{1}|{2}|{3}' -f $a.User, $a.Integrity, (Test-RunElevated), "
                     "(Test-Administrator $a)\n" % ps_quote(ROOT / "deploy" / "shared" / "PacecapShared.ps1"),
                     encoding="utf-8-sig")
    ran = run_as_system(layout.runs / "account", probe)
    check("SYSTEM's token as Read-Account reads it: S-1-5-18 at System integrity (0x4000); it gets the checks",
          first_line(ran.out) == "S-1-5-18|16384|True|True", ran)
    for number, (name, given) in enumerate(PATH_FORMS):
        candidate = given(layout.marker)
        layout.ran(layout.marker).unlink(missing_ok=True)
        ran = run_as_system(layout.runs / ("form-%d" % number), layout.scripts / "Detect-Pacecap.ps1", "-Pacecap", candidate)
        check("as SYSTEM, -Pacecap with %s is refused (exit 4), names %s and starts nothing" % (name, layout.marker / "Pacecap.exe"),
              refused(ran, candidate) and str(layout.marker / "Pacecap.exe") in ran.out
              and not layout.ran(layout.marker).exists(), ran)
    free = [letter for letter in "ZYXWVUTSRQPONMLKJIH" if not os.path.exists(letter + ":\\")]
    if not free:
        skip(1, "a SUBST letter is refused", "no drive letter is free")
        return
    letter = free[0] + ":"
    subprocess.run(["subst", letter, str(layout.marker)], check=True, capture_output=True, timeout=RUN_TIMEOUT)
    try:
        layout.ran(layout.marker).unlink(missing_ok=True)
        ran = run_script(ROOT / "deploy" / "Detect-Pacecap.ps1", "-Pacecap", letter + "\\Pacecap.exe")
        check("elevated, a Pacecap.exe by way of a SUBST letter is refused (exit 4, not a volume's own letter) and not started",
              refused(ran, letter + "\\Pacecap.exe") and "not a volume's own drive letter" in ran.out
              and not layout.ran(layout.marker).exists(), ran)
    finally:
        subprocess.run(["subst", letter, "/d"], capture_output=True, timeout=RUN_TIMEOUT)


def planted_junction_cases(layout):
    """-Remove as SYSTEM over a task folder that holds a junction to a folder
    elsewhere: refused with exit 4, and nothing is deleted, neither what the
    junction leads to nor the junction."""
    installed = Path(os.environ["ProgramFiles"]) / "Pacecap"
    if installed.exists() or task_state(TASK) is not None:
        skip(1, "-Remove over a planted junction", "%s or a task %s is already here; both are left alone" % (installed, TASK))
        return
    victim = layout.root / "victim"
    victim.mkdir()
    (victim / "keep.txt").write_text("x")
    link = installed / "Task" / "link"
    try:
        (installed / "Task").mkdir(parents=True)
        # As the README hands an unzipped folder to Administrators, so that
        # the folders pass and the link is what is refused.
        icacls(installed, "/setowner", "*%s" % ADMINISTRATORS_SID, "/T")
        icacls(installed, "/reset", "/T")
        subprocess.run(["cmd", "/c", "mklink", "/J", str(link), str(victim)], check=True, capture_output=True,
                       timeout=RUN_TIMEOUT)
        ran = run_as_system(layout.runs / "remove-junction", layout.scripts / "Register-PacecapTask.ps1", "-Remove")
        check("-Remove as SYSTEM over a planted junction: exit 4, the link named, nothing outside the folder deleted "
              "and the junction left", ran.code == 4 and first_line(ran.out).startswith("Refused %s" % link)
              and (victim / "keep.txt").exists() and os.path.lexists(link), ran)
    finally:
        if os.path.lexists(link):
            os.rmdir(link)  # a junction: removes the link, never what it leads to
        check("the planted %s is removed, and what the junction led to is still there" % installed,
              removed(installed) and (victim / "keep.txt").exists())


def unzip_fix(readme):
    """The README's icacls commands for an unzipped installation, each as
    icacls' arguments after the folder, in order."""
    return [command.split() for command in re.findall(r'`icacls "C:\\Program Files\\Pacecap" (/[^`]+)`', readme)]


def unzip_route_cases(layout):
    """An unzipped copy under %ProgramFiles% that belongs to the account that
    unzipped it, as where new items get their creator as owner (Program Files'
    CREATOR OWNER entry then gives that account full control), is refused as
    SYSTEM; after the README's icacls commands it is accepted and started."""
    folder = Path(os.environ["ProgramFiles"]) / ("PacecapUnzip-" + secrets.token_hex(4))
    exe = folder / "Pacecap.exe"
    me = powershell("[Security.Principal.WindowsIdentity]::GetCurrent().User.Value").out
    folder.mkdir()
    try:
        shutil.copyfile(layout.run_marker, exe)
        icacls(folder, "/setowner", "*" + me, "/T")
        icacls(folder, "/reset", "/T")
        shape = [security(item) for item in (folder, exe)]
        check("setup: the unzipped copy belongs to the job's account, with an entry of its own",
              all(owner == me and any(rule.sid == me for rule in rules) for owner, rules in shape), (me, shape))
        ran = run_as_system(layout.runs / "unzipped", layout.scripts / "Detect-Pacecap.ps1", "-Pacecap", exe)
        check("as SYSTEM, an unzipped copy that its account owns is refused, and not started",
              refused(ran, exe) and not layout.ran(folder).exists(), ran)
        steps = unzip_fix((ROOT / "README.md").read_text(encoding="utf-8"))
        for step in steps:
            icacls(folder, *step)
        shape = [security(item) for item in (folder, exe)]
        check("the README's %d icacls commands hand it to Administrators, and no rule names the account" % len(steps),
              len(steps) == 2 and all(owner == ADMINISTRATORS_SID and not untrusted_writes(rules)
                                      and not any(rule.sid == me for rule in rules) for owner, rules in shape),
              (steps, shape))
        ran = run_as_system(layout.runs / "unzipped-fixed", layout.scripts / "Detect-Pacecap.ps1", "-Pacecap", exe)
        check("as SYSTEM, the same copy is then accepted and started",
              layout.ran(folder).exists() and not first_line(ran.out).startswith("Refused") and ran.code != 4, ran)
    finally:
        check("the unzipped copy %s is removed" % folder, removed(folder))


def keeping_task_cases(layout, machine):
    """Register-PacecapTask.ps1 run from a protected copy: the task's
    definition, the scheme-change trigger firing on another Pacecap.exe's
    change, the change of the task's own copy not starting it again, a run
    that finds the values set and changes nothing, and -Remove. Skipped
    where a Pacecap task or %ProgramFiles%\\Pacecap is already there; the
    resume trigger's check needs a resume event in the System log, and each
    scheme-change window check skips where a change that the task's copy did
    not make came within it."""
    installed = Path(os.environ["ProgramFiles"]) / "Pacecap"
    if installed.exists() or task_state(TASK) is not None:
        skip(1, "the task that keeps the limits", "%s or a task %s is already here; both are left alone"
             % (installed, TASK))
        return
    register = layout.kit / "Register-PacecapTask.ps1"
    own = installed / "Task"  # the task's own copies, which nothing else runs
    with scheme_restored():
        write_scheme(100, 100)
        try:
            ran = run_script(register, "-Pacecap", layout.bin / "Pacecap.exe", "-PluggedIn", 96, "-OnBattery", 82)
            check("Register-PacecapTask from a protected copy: exit 0", ran.code == 0, ran)
            ran = run_script(register, "-Pacecap", own / "Pacecap.exe", "-PluggedIn", 96, "-OnBattery", 82)
            check("registered again with -Pacecap naming the task's own copy: exit 0, the task there, the same bytes",
                  ran.code == 0 and task_state(TASK) is not None and (own / "Pacecap.exe").read_bytes()
                  == (layout.bin / "Pacecap.exe").read_bytes() and not (installed / "Task.old").exists(), ran)
            subscription = task_definition_cases(own, layout, machine)
            scheme_change_cases(own / "Pacecap.exe", layout.bin / "Pacecap.exe", subscription)
            wait_until_idle(TASK)
            ran = run_script(register, "-Remove")
            left = [path for path in (own / "Pacecap.exe", own / "Remediate-Pacecap.ps1") if path.exists()]
            check("-Remove: exit 0, the task and its copies are gone",
                  ran.code == 0 and task_state(TASK) is None and not left, (ran, left))
        finally:
            wait_until_idle(TASK)
            unregister(TASK)
            gone = removed(installed)
            check("no task %s and no %s are left behind" % (TASK, installed), task_state(TASK) is None and gone)


def resume_verdict(machine, logged, selected):
    """(passed, detail) of the resume trigger's query: it must select
    exactly the resume events that the System log holds (logged, read by a
    query of our own; selected, by the trigger's). passed is None, and detail
    the reason, where the log holds none, so that nothing can be compared."""
    if logged is None:
        return False, "the System log's resume events could not be read"
    if selected is None:
        return False, "the event log refuses the trigger's query"
    if not logged:
        if not machine.sleep_states and not machine.modern_standby:
            return None, ("the machine has no sleep state and no Modern Standby: it never resumes, so the System log "
                          "holds no resume event to select")
        return None, "the System log holds no resume event yet (%s)" % machine_text(machine)
    wanted, found = sorted(event[0] for event in logged), sorted(event[0] for event in selected)
    return found == wanted, "record ids selected %r, logged %r" % (found, wanted)


def task_definition_cases(own, layout, machine):
    """Checks the registered task's definition; returns its scheme-change
    subscription."""
    exported = powershell("Export-ScheduledTask -TaskName %s" % ps_quote(TASK))
    definition = task_definition(exported.out)
    triggers = definition["triggers"]
    events = [(subscription, delay) for kind, subscription, delay in triggers if kind == "EventTrigger"]
    check("three triggers: at logon and two event triggers, each %s late" % TRIGGER_DELAY,
          sorted(kind for kind, _, _ in triggers) == ["EventTrigger", "EventTrigger", "LogonTrigger"]
          and all(delay == TRIGGER_DELAY for _, delay in events), triggers)
    terms = [(subscription, subscription_terms(subscription)) for subscription, _ in events]
    resume = [(text, found) for text, found in terms if "Microsoft-Windows-Kernel-Power" in found["providers"]]
    scheme = [(text, found) for text, found in terms if SCHEME_PROVIDER in found["providers"]]
    check("the resume trigger selects System-log Power-Troubleshooter 1 and Kernel-Power 107 and 507",
          len(resume) == 1 and resume[0][1]["logs"] == {"System"} and not resume[0][1]["suppress"]
          and resume[0][1]["providers"] == {"Microsoft-Windows-Power-Troubleshooter", "Microsoft-Windows-Kernel-Power"}
          and resume[0][1]["ids"] == {1, 107, 507}, terms)
    logged = read_events(RESUME_EVENTS)
    passed, detail = resume_verdict(machine, logged, read_events(resume[0][0]) if len(resume) == 1 else None)
    name = "the resume trigger's query selects each resume event in the System log, and nothing else"
    if passed is None:
        skip(1, name, detail)
    else:
        check(name + " (%d)" % len(logged or []), passed, detail)
    exe, users_copy = str(own / "Pacecap.exe"), str(own.parent / "Pacecap.exe")
    suppress = " ".join(scheme[0][1]["suppress"]).lower() if len(scheme) == 1 else ""
    check("the scheme-change trigger selects UserModePowerService 12 and leaves out %s's changes, not %s's"
          % (exe, users_copy), len(scheme) == 1 and scheme[0][1]["logs"] == {"System"}
          and scheme[0][1]["providers"] == {SCHEME_PROVIDER} and scheme[0][1]["ids"] == {12}
          and "processpath" in suppress and exe.lower() in suppress and users_copy.lower() not in suppress, terms)
    problems = action_problems(definition["command"], definition["arguments"],
                               {name.upper(): value for name, value in os.environ.items()},
                               str(own / "Remediate-Pacecap.ps1"), exe, 96, 82)
    check("the action: Windows PowerShell runs %s -Pacecap %s -PluggedIn 96 -OnBattery 82"
          % (own / "Remediate-Pacecap.ps1", exe), not problems,
          (problems, definition["command"], definition["arguments"]))
    check("it runs as SYSTEM, for at most 5 minutes", is_system(definition["user"])
          and definition["time_limit"] == TIME_LIMIT, (definition["user"], definition["time_limit"]))
    # Only what nobody else can run may have its changes left alone.
    found = {item: security(item) for item in (own, own / "Pacecap.exe")}
    closed = [owner == ADMINISTRATORS_SID and rules and not any(rule.inherited for rule in rules)
              and {rule.sid for rule in rules} <= {SYSTEM_SID, ADMINISTRATORS_SID} for owner, rules in found.values()]
    check("%s and its Pacecap.exe: Administrators own them, only SYSTEM and Administrators have access, "
          "nothing inherited" % own, all(closed), found)
    copies = [(own / name).exists() and (own / name).read_bytes() == (layout.kit / name).read_bytes()
              for name in ("Pacecap.exe", "Remediate-Pacecap.ps1")]
    check("%s holds Pacecap.exe and Remediate-Pacecap.ps1, byte for byte the registered copies" % own,
          all(copies), copies)
    return scheme[0][0] if len(scheme) == 1 else None


def foreign_events(events, own_exe, expected=()):
    """The scheme events that neither own_exe nor a record id in expected
    made: each may rightly start the task, one trigger delay later, and
    change the values it finds; within a window that has one, a check that
    the task is not started, or changes nothing, cannot be told."""
    return [event for event in events if event[0] not in expected and not same_path(event[3], str(own_exe))]


def scheme_change_cases(own_exe, user_exe, subscription):
    wait_until_idle(TASK)
    before, mark = task_state(TASK), last_scheme_event()
    # Another Pacecap.exe, as any user may run the one on the PATH: the
    # trigger must put 96/82 back.
    changed = Run([str(user_exe), "100", "100"])
    started = time.monotonic()
    state = wait_for_run(TASK, before[1], 40)
    now = poll(lambda: read_scheme() == (96, 82), max(1, 40 - (time.monotonic() - started)))
    check("another Pacecap.exe's change (100 100) starts the task within 40 s, which puts 96 and 82 back "
          "(last result 0)", changed.code == 0 and state is not None and state[2] == 0 and now,
          (changed, state, read_scheme()))

    def logged():
        events = scheme_events(mark)
        return events if any(same_path(event[3], str(own_exe)) for event in events) else None
    events = poll(logged, 10) or scheme_events(mark)
    own = [event for event in events if same_path(event[3], str(own_exe))]
    check("the task's change is logged as UserModePowerService 12 with ProcessPath %s" % own_exe, bool(own), events)
    selected = {event[0] for event in (read_events(subscription) or [])} if subscription else set()
    by_user = [event for event in events if same_path(event[3], str(user_exe))]
    check("the trigger's query selects the other Pacecap.exe's change and leaves out the task's own",
          bool(by_user) and bool(own) and by_user[0][0] in selected and not any(event[0] in selected for event in own),
          (events, sorted(number for number in selected if number > mark)))

    # The suppressed event must not start the task: a new run would begin one
    # trigger delay after it; wait well past that. A change that the task's
    # copy did not make may rightly start it, so then this cannot be told.
    name = "the task's own change does not start it again: no new run within 25 s (the trigger's delay is 10 s)"
    last = (state or task_state(TASK) or (None, None))[1]
    restarted = poll(lambda: (task_state(TASK) or (None, last))[1] != last, 25)
    # The other Pacecap.exe's change is what started the task.
    others = foreign_events(scheme_events(mark), own_exe, {event[0] for event in by_user})
    if others:
        skip(1, name, "scheme changes that the task's copy did not make came meanwhile: %r" % others)
    else:
        check(name, state is not None and not restarted, (state, task_state(TASK)))

    # A run that finds the values set must change nothing. An event it might
    # log would come before the one of a later powercfg call, which the
    # service handles after it: no waiting on the clock.
    mark = last_scheme_event()
    state = start_and_wait(TASK)
    powercfg("/setactive", "SCHEME_CURRENT")

    def up_to_powercfg():
        events = scheme_events(mark)
        return events if any(by_powercfg(event) for event in events) else None
    events = poll(up_to_powercfg, 10) or scheme_events(mark)
    first_tool = next((event[0] for event in events if by_powercfg(event)), None)
    before_tool = [event for event in events if first_tool is None or event[0] < first_tool]
    name = "a task run that finds 96 and 82 set exits 0 and logs no UserModePowerService 12"
    others = foreign_events(before_tool, own_exe)
    if others:
        skip(1, name, "scheme changes that the task's copy did not make came meanwhile: %r" % others)
    else:
        check(name, state is not None and state[2] == 0 and read_scheme() == (96, 82) and first_tool is not None
              and not before_tool and bool(own), (state, events))
    # powercfg's call starts the task once more; let that run end.
    wait_for_run(TASK, (state or task_state(TASK) or (None, None))[1], 40)
    wait_until_idle(TASK)


def manifest_cases():
    _, manifest, _ = powershell("wevtutil gp Microsoft-Windows-UserModePowerService /ge /gm:true | Out-String")
    check("the scheme-change trigger's event is registered (UserModePowerService 12)",
          "reset policy scheme" in manifest, manifest[-300:])
    found = provider_events("Microsoft-Windows-Kernel-Power", (107, 507))
    if found is None:
        skip(1, "Kernel-Power's manifest declares events 107 and 507", "the provider is not registered here")
        return

    def declared(number, *words):
        return any(log == "System" and all(word in description.lower() for word in words)
                   for log, description in found.get(number, []))
    check("Kernel-Power's manifest declares 107 (resumed from sleep) and 507 (exiting standby), in the System log",
          declared(107, "resumed") and declared(507, "exiting", "standby"), found)


def value_lines(plugged_in, on_battery):
    """The lines in which Pacecap 0 shows the two values (on two kinds of
    core a line for a faster class may follow)."""
    return [b"plugged-in value is %d%%\r\n" % plugged_in, b"on-battery value is %d%%\r\n" % on_battery]


def start_problem(run, lines=()):
    """What is wrong with a run of a program that the cold start times, or
    None: it must end with exit 0 and print each of lines."""
    if run.code != 0:
        return "exit code 0x%08X" % run.code
    missing = [line for line in lines if line not in run.out]
    return "output %r, without %r" % (run.out, missing) if missing else None


# --- The Windows Installer package -------------------------------------------

# What the package puts in %ProgramFiles%\Pacecap.
INSTALLED = ("Detect-Pacecap.ps1", "Pacecap.exe", "Register-PacecapTask.ps1", "Remediate-Pacecap.ps1")
# An install or an uninstall takes seconds; this bounds one that hangs. The
# package gives Register-PacecapTask.ps1 five minutes: its own bound shows first.
MSIEXEC_TIMEOUT = 360
ERROR_UNKNOWN_PRODUCT = 1605
ERROR_NO_MORE_ITEMS = 259
ERROR_SUCCESS_REBOOT_INITIATED, ERROR_SUCCESS_REBOOT_REQUIRED = 1641, 3010

# The steps, in order, each from the state the one before leaves. A row: what
# it shows; msiexec's arguments, "older" and "newer" standing for the kit's
# two packages for this processor; None where it must succeed, else the
# property that the package's own refusal tests (NEWER_FOUND: the one that a
# detect-only row of its Upgrade table sets); the package installed
# afterwards (None: none, and nothing of one left); the task's values
# afterwards (None: no task; FOREIGN: the job's own, registered before the
# step); the further checks then.
Step = collections.namedtuple("Step", "what arguments refused installed task checks")
NEWER_FOUND = "a newer version found"
# A task of the package's name that the job registers, not the package: an
# uninstall must leave it. Never started; known by its arguments.
FOREIGN = "the job's own task"
FOREIGN_ARGUMENTS = "/d /c rem registered by the Pacecap job, not by the package"
MSI_ONLY_DETECT = 0x2  # msidbUpgradeAttributesOnlyDetect: an Upgrade row that only sets its property
MSI_ERROR_ACTION = 19  # a custom action that shows its Target and ends the install
INSTALLER_STEPS = [
    Step("a silent install", ["/i", "older"], None, "older", None, ("files", "trust", "path")),
    Step("values over that install, which registered no task, are refused",
         ["/i", "older", "PLUGGEDIN=99", "ONBATTERY=80"], "TASKREGISTERED", "older", None, ()),
    Step("an uninstall that leaves a task of that name it did not register", ["/x", "older"], None, None, FOREIGN,
         ()),
    Step("an install with PLUGGEDIN=101 is refused", ["/i", "older", "PLUGGEDIN=101", "ONBATTERY=80"], "PLUGGEDIN",
         None, None, ()),
    Step("an install with PLUGGEDIN=99 ONBATTERY=80", ["/i", "older", "PLUGGEDIN=99", "ONBATTERY=80"], None, "older",
         (99, 80), ("task run",)),
    Step("an upgrade, with no values: the task stays", ["/i", "newer"], None, "newer", (99, 80), ("trust", "path")),
    Step("a downgrade is refused", ["/i", "older"], NEWER_FOUND, "newer", (99, 80), ()),
    Step("an uninstall", ["/x", "newer"], None, None, None, ()),
]
# How many checks each further check of a row makes.
FURTHER_CHECKS = {"files": 1, "trust": 2, "path": 1, "task run": 1}


def installer_check_count():
    """The checks that installer_cases makes: the packages', two a step and
    its further ones, and at the end that nothing is left, that the job's
    folder is removed, and that PATH and the scheme are back."""
    return 1 + sum(2 + sum(FURTHER_CHECKS[name] for name in step.checks) for step in INSTALLER_STEPS) + 4


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


def msiexec(arguments, log, timeout=MSIEXEC_TIMEOUT):
    """Runs msiexec with arguments, no UI, no restart and a verbose log;
    returns (its exit code, None when it did not end within timeout; the
    log's text)."""
    command = [os.path.join(os.environ["SystemRoot"], "System32", "msiexec.exe")] + arguments + [
        "/qn", "/norestart", "/l*v", str(log)]
    try:
        code = subprocess.run(command, capture_output=True, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        code = None
    return code, read_log(log.read_bytes()) if log.exists() else ""


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


def path_entries(data, env):
    """The entries of a Path value's data (UTF-16LE), %VARIABLE% expanded
    from env (upper-case names) where it names one; empty entries left out."""
    text = data.decode("utf-16-le").split("\0", 1)[0]

    def expand(entry):
        return re.sub(r"%([^%]+)%", lambda match: env.get(match.group(1).upper(), match.group(0)), entry)
    return [expand(entry) for entry in text.split(";") if entry]


def same_folder(a, b):
    """Whether two paths name one folder as Windows reads them, but for links."""
    normal = lambda path: path.replace("/", "\\").rstrip("\\").lower()  # noqa: E731
    return normal(a) == normal(b)


def task_values(definition, env, folder):
    """(plugged-in, on-battery) that the task passes, where all else of it is
    as Register-PacecapTask.ps1 makes it from folder; else what is not."""
    tokens = split_arguments(definition["arguments"])
    lowered = [token.lower() for token in tokens]

    def value(name):
        at = lowered.index(name.lower()) + 1 if name.lower() in lowered else len(tokens)
        return int(tokens[at]) if at < len(tokens) and tokens[at].isdigit() else None
    found = (value("-PluggedIn"), value("-OnBattery"))
    own = ntpath.join(str(folder), "Task")
    problems = action_problems(definition["command"], definition["arguments"], env,
                               ntpath.join(own, "Remediate-Pacecap.ps1"), ntpath.join(own, "Pacecap.exe"), *found)
    if not is_system(definition["user"]):
        problems.append("it runs as %r, not SYSTEM" % definition["user"])
    return problems or found


def expected_state(step, packages, rest):
    """What Windows holds after step: packages maps "older" and "newer" to
    {"code", "version"}; rest is the machine PATH's other entries before."""
    package = packages.get(step.installed)
    return {"products": [package["code"]] if package else [], "files": list(INSTALLED) if package else [],
            "folder": package is not None, "version": package["version"] if package else None,
            "own PATH entries": 1 if package else 0, "other PATH entries": rest, "task": step.task}


def state_problems(found, expected):
    """Each way found differs from expected, named."""
    return ["%s: %r, not %r" % (key, found.get(key), value) for key, value in expected.items()
            if found.get(key) != value]


def describe_state(expected):
    if not expected["products"]:
        return "no product, file, folder, task or PATH entry of it; the rest of PATH as it was%s" % (
            "; the job's own task %s still there" % TASK if expected["task"] == FOREIGN else "")
    return "version %s alone, its %d files, one PATH entry and the rest as it was, %s" % (
        expected["version"], len(expected["files"]),
        "the task with %d and %d" % expected["task"] if expected["task"] else "no task")


def file_version(path):
    ran = powershell("$info = [Diagnostics.FileVersionInfo]::GetVersionInfo(%s)\n"
                     "'{0}.{1}.{2}.{3}' -f $info.FileMajorPart, $info.FileMinorPart, $info.FileBuildPart,"
                     " $info.FilePrivatePart" % ps_quote(path))
    return ran.out if ran.code == 0 else None


def installed_state(folder, upgrade_code, env):
    """What Windows holds of the package, in expected_state's terms."""
    entries = path_entries(read_machine_path()[1], env)
    task = None
    if task_state(TASK) is not None:
        # In the root folder, where Register-PacecapTask.ps1 puts it.
        exported = powershell("Export-ScheduledTask -TaskName %s -TaskPath '\\'" % ps_quote(TASK))
        task = (["the task could not be exported: %s" % exported.err] if exported.code != 0
                else FOREIGN if FOREIGN_ARGUMENTS in exported.out  # it has no trigger to read
                else task_values(task_definition(exported.out), env, folder))
    return {"products": related_products(upgrade_code),
            "files": [name for name in INSTALLED if (folder / name).is_file()], "folder": folder.exists(),
            "version": file_version(folder / "Pacecap.exe") if (folder / "Pacecap.exe").is_file() else None,
            "own PATH entries": sum(same_folder(entry, str(folder)) for entry in entries),
            "other PATH entries": [entry for entry in entries if not same_folder(entry, str(folder))], "task": task}


def trust_cases(number, folder, root):
    """The installed folder and files are out of standard users' reach as
    they are, and the released Detect-Pacecap.ps1, run as SYSTEM from
    elsewhere with no -Pacecap, as Intune runs it, finds and trusts them."""
    found = {str(item): security(item) for item in [folder] + [folder / name for name in INSTALLED]}
    exposed = {item: (owner, untrusted_writes(rules)) for item, (owner, rules) in found.items()
               if owner not in TRUSTED_SIDS or untrusted_writes(rules)}
    check("%d. SYSTEM, Administrators or TrustedInstaller own %s and its files, and no one else may change them"
          % (number, folder), not exposed, exposed)
    scripts = root / ("detect-%d" % number)
    scripts.mkdir()
    shutil.copyfile(folder / "Detect-Pacecap.ps1", scripts / "Detect-Pacecap.ps1")
    icacls(scripts, "/setowner", "*%s" % ADMINISTRATORS_SID, "/T")
    write_scheme(99, 80)
    ran = run_as_system(root / ("detect-run-%d" % number), scripts / "Detect-Pacecap.ps1", "-PluggedIn", 99,
                        "-OnBattery", 80)
    check("%d. Detect-Pacecap.ps1 as SYSTEM, with no -Pacecap and no icacls run, trusts the installed Pacecap.exe: "
          "compliant, exit 0" % number, ran.code == 0 and ran.out.startswith("Compliant"), ran)


def path_cases(number, folder, env, work):
    """A new process given the machine PATH that the registry now holds, as
    a new prompt gets it, finds the installed Pacecap first and runs it."""
    empty = work / ("empty-%d" % number)  # the current folder, searched first
    empty.mkdir()
    machine = dict(os.environ, PATH=";".join(path_entries(read_machine_path()[1], env)))
    system32 = os.path.join(os.environ["SystemRoot"], "System32")
    where = subprocess.run([os.path.join(system32, "where.exe"), "Pacecap"], cwd=empty, env=machine,
                           capture_output=True, text=True, timeout=RUN_TIMEOUT)
    ours = same_folder(first_line(where.stdout), str(folder / "Pacecap.exe"))
    # Elevated, this job starts only the installed copy: a Pacecap found
    # first in another folder of the machine PATH is named, not run.
    ran = Run([os.path.join(system32, "cmd.exe"), "/d", "/c", "Pacecap", "0"], cwd=empty, env=machine) if ours else None
    own = [entry for entry in os.environ.get("PATH", "").split(";") if entry and same_folder(entry, str(folder))]
    check("%d. a new process with the machine PATH from the registry (not this one's, which lacks it) finds %s "
          "first and runs it: exit 0, the values" % (number, folder / "Pacecap.exe"),
          not own and ours and (ran.out, ran.code) == (values(*read_scheme()), 0), (own, where.stdout, ran))


def task_run_cases(number):
    """The task that the install registered puts its values in place."""
    write_scheme(100, 100)
    state = start_and_wait(TASK)
    now = read_scheme()
    check("%d. the task, started, sets 99 and 80: last result 0" % number,
          state is not None and state[2] == 0 and now == (99, 80), (state, now))
    wait_until_idle(TASK)


def uninstall_all(codes, logs):
    """Uninstalls each of the product codes that is installed, trying again
    a bounded number of times while another installation runs; returns
    those still not removed."""
    def removed_now(attempt, code):
        ended, log = msiexec(["/x", code], logs / ("cleanup-%d-%s.log" % (attempt, code.strip("{}"))))
        return ended == ERROR_UNKNOWN_PRODUCT or msiexec_outcome(ended, log)[0]  # 3010 as the steps take it

    left = list(codes)
    for attempt in range(3):
        left = [code for code in left if not removed_now(attempt, code)]
        if not left:
            break
        time.sleep(10)
    return left


def installer_cases(kit, exe, work):
    """The kit's packages for this machine's processor, from a copy that
    only administrators can change, through INSTALLER_STEPS, each followed
    by what Windows then holds. Whatever of them is left at the end, also
    when a check fails, is uninstalled; the machine PATH is put back."""
    if Path(exe) != (kit / "Pacecap.exe").resolve():
        skip(installer_check_count(), "the Windows Installer package",
             "it holds the release's exe, and %s is under test here" % exe)
        return
    packages = {}
    for role, (name, version) in zip(("older", "newer"), kit_packages([path.name for path in kit.iterdir()],
                                                                      native_machine())):
        properties, refusals, detect_only = read_package(kit / name)
        packages[role] = {"name": name, "version": version, "code": properties.get("ProductCode", "").upper(),
                          "upgrade": properties.get("UpgradeCode", "").upper(), "refusals": refusals,
                          "detect only": detect_only}
    older, newer = packages["older"], packages["newer"]
    upgrade = older["upgrade"]
    check("the packages share one UpgradeCode (%s), each has a ProductCode of its own (%s, %s) and refusals to give"
          % (upgrade, older["code"], newer["code"]), upgrade == newer["upgrade"] != ""
          and "" != older["code"] != newer["code"] != "" and older["refusals"] and newer["refusals"], packages)
    folder = Path(os.environ["ProgramFiles"]) / "Pacecap"
    if folder.exists() or task_state(TASK) is not None or related_products(upgrade):
        skip(installer_check_count() - 1, "the Windows Installer package", "%s, a task %s or a product of this "
             "UpgradeCode is here already; all are left alone" % (folder, TASK))
        return
    env = {name.upper(): value for name, value in os.environ.items()}
    logs = work / "installer-logs"
    logs.mkdir()
    with protected_folder() as root, machine_path_restored() as (_, data), scheme_restored():
        source = root / "packages"
        source.mkdir()
        for package in packages.values():
            shutil.copyfile(kit / package["name"], source / package["name"])
        icacls(root, "/setowner", "*%s" % ADMINISTRATORS_SID, "/T")
        rest = [entry for entry in path_entries(data, env) if not same_folder(entry, str(folder))]
        try:
            for number, step in enumerate(INSTALLER_STEPS, 1):
                package = packages[step.arguments[1]]
                if step.task == FOREIGN:
                    made = register_system_task(TASK, os.path.join(os.environ["SystemRoot"], "System32", "cmd.exe"),
                                                FOREIGN_ARGUMENTS)
                    if made.code != 0:
                        raise RuntimeError("the job's own task %s could not be registered: %s" % (TASK, made.err))
                code, log = msiexec([step.arguments[0], str(source / package["name"])] + step.arguments[2:],
                                    logs / ("%d.log" % number))
                if step.refused:
                    tested = package["detect only"] if step.refused == NEWER_FOUND else [step.refused]
                    message = refusal_message(log, package["refusals"], tested)
                    check("%d. %s: msiexec exits with an error, and the log gives the package's reason: %s"
                          % (number, step.what, message), refused_outcome(code) and message is not None,
                          (code, log_errors(log)))
                else:
                    done, said = msiexec_outcome(code, log)
                    check("%d. %s: %s" % (number, step.what, said), done, log_errors(log))
                expected = expected_state(step, packages, rest)
                problems = state_problems(installed_state(folder, upgrade, env), expected)
                check("%d. then: %s" % (number, describe_state(expected)), not problems, problems)
                if step.task == FOREIGN:
                    unregister(TASK)
                # What makes each further check a row may name.
                further = {"files": lambda: check(
                               "%d. the installed Pacecap.exe is the kit's, byte for byte" % number,
                               (folder / "Pacecap.exe").read_bytes() == (kit / "Pacecap.exe").read_bytes()),
                           "trust": lambda: trust_cases(number, folder, root),
                           "path": lambda: path_cases(number, folder, env, work),
                           "task run": lambda: task_run_cases(number)}
                missing = [problem for problem in problems if problem.split(":")[0] in ("products", "files", "folder")]
                if missing and step.checks:
                    skip(sum(FURTHER_CHECKS[name] for name in step.checks), "%d. %s" % (number, ", ".join(step.checks)),
                         "they need the package installed as above, and it is not")
                    continue
                for name in step.checks:
                    further[name]()
        finally:
            codes = {package["code"] for package in packages.values()} - {""}
            try:
                codes |= set(related_products(upgrade))
            except OSError:
                pass  # the packages' own are uninstalled all the same; the check below raises it again
            left = uninstall_all(sorted(codes), logs)
            if task_state(TASK) is not None:
                wait_until_idle(TASK)
                unregister(TASK)
            gone = removed(folder) if folder.exists() else True
            check("nothing of the packages is left: no product, no task %s, no %s" % (TASK, folder),
                  not left and not related_products(upgrade) and task_state(TASK) is None and gone, left)


def wall_time(argv):
    started = time.perf_counter()
    done = subprocess.run(argv, stdout=subprocess.DEVNULL, timeout=RUN_TIMEOUT)
    elapsed = time.perf_counter() - started
    if done.returncode != 0:
        raise RuntimeError("%s ended with exit code %d while it was timed" % (argv, done.returncode))
    return elapsed


def cold_start(exe, kit, summary, emulated=None, pairs=30):
    """Each program timed must first run: each Pacecap 0 prints the scheme's
    values, the yardsticks exit 0. Only then are the figures taken."""
    shown = value_lines(*read_scheme())
    programs = [("Pacecap 0", [exe, "0"], shown), ("DoNothing", [str(kit / "DoNothing.exe")], ()),
                ("LoadLibraries", [str(kit / "LoadLibraries.exe")], ())]
    if emulated:
        programs.append(("the x64 exe's Pacecap 0, emulated", [str(emulated), "0"], shown))
    problems = []
    for name, argv, lines in programs:
        problem = start_problem(Run(argv), lines)
        check("cold start: %s runs, %s" % (name, "prints the scheme's values" if lines else "exit 0"),
              problem is None, problem)
        problems += [problem] if problem else []
    if problems:
        print("no cold-start figures: not every program ran as it must")
        return
    machine = pe_machine(Path(exe).read_bytes())
    lines = ["### Cold start of `Pacecap 0` (%s) on real Windows (%s)" % (machine, native_machine()), "",
             "Median over %d paired runs after 3 warm-up pairs, the order alternating." % pairs, "",
             "| against | ratio | Pacecap 0 | other |", "|---|---|---|---|"]
    others = [("a do-nothing program", [str(kit / "DoNothing.exe")]),
              ("a program that only loads user32, shlwapi and powrprof", [str(kit / "LoadLibraries.exe")])]
    if emulated:
        others.append(("the x64 exe's `Pacecap 0`, emulated", [str(emulated), "0"]))
    for label, other in others:
        ratio, mine, theirs = paired_ratio(wall_time, [exe, "0"], other, pairs)
        lines.append("| %s | %.2f | %.1f ms | %.1f ms |" % (label, ratio, mine * 1e3, theirs * 1e3))
    text = "\n".join(lines) + "\n"
    print(text)
    if summary:
        with open(summary, "a", encoding="utf-8") as opened:
            opened.write(text)


SAMPLE_TASK = """<?xml version="1.0" encoding="UTF-16"?>
<Task version="1.4" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">
  <Triggers>
    <LogonTrigger><Enabled>true</Enabled></LogonTrigger>
    <EventTrigger><Enabled>true</Enabled><Subscription>&lt;QueryList&gt;&lt;Query Id="0" Path="System"&gt;&lt;Select\
 Path="System"&gt;*[System[Provider[@Name='A'] and EventID=1]]&lt;/Select&gt;&lt;/Query&gt;&lt;/QueryList&gt;\
</Subscription><Delay>PT10S</Delay></EventTrigger>
  </Triggers>
  <Principals><Principal id="Author"><UserId>S-1-5-18</UserId></Principal></Principals>
  <Settings><ExecutionTimeLimit>PT5M</ExecutionTimeLimit></Settings>
  <Actions Context="Author"><Exec><Command>%SystemRoot%\\System32\\WindowsPowerShell\\v1.0\\powershell.exe</Command>
    <Arguments>-NoProfile -NonInteractive -ExecutionPolicy Bypass -File\
 "%ProgramFiles%\\Pacecap\\Task\\Remediate-Pacecap.ps1" -Pacecap "C:\\Program Files\\Pacecap\\Task\\Pacecap.exe"\
 -PluggedIn 96 -OnBattery 82</Arguments></Exec></Actions>
</Task>"""

SAMPLE_SUBSCRIPTION = ("<QueryList><Query Id=\"0\" Path=\"System\"><Select Path=\"System\">*[System[Provider["
                       "@Name='Microsoft-Windows-Power-Troubleshooter'] and EventID=1]] or *[System[Provider["
                       "@Name='Microsoft-Windows-Kernel-Power'] and (EventID=107 or EventID=507)]]</Select>"
                       "<Suppress Path=\"System\">*[EventData[Data[@Name='ProcessPath']='C:\\x.exe']]</Suppress>"
                       "</Query></QueryList>")

SAMPLE_EVENTS = ("<Events><Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>"
                 "<Provider Name='Microsoft-Windows-UserModePowerService'/><EventID>12</EventID>"
                 "<EventRecordID>42</EventRecordID></System><EventData><Data Name='ProcessPath'>"
                 "C:\\Windows\\System32\\powercfg.exe</Data><Data Name='ProcessId'>4800</Data></EventData></Event>"
                 "<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System>"
                 "<Provider Name='Microsoft-Windows-Kernel-Power'/><EventID Qualifiers='0'>107</EventID>"
                 "<EventRecordID>7</EventRecordID></System></Event></Events>")


def pe_sample(machine):
    """The first bytes of a PE image for machine, as far as pe_machine reads."""
    return b"MZ" + bytes(0x3A) + (0x40).to_bytes(4, "little") + b"PE\0\0" + machine.to_bytes(2, "little")


SAMPLE_LOG = """\
MSI (s) (A4:38) [10:01:02:003]: Product: Pacecap -- A newer Pacecap is installed already.
Action ended 10:01:02: LaunchConditions. Return value 3.
MSI (s) (A4:38) [10:01:02:010]: Product: Pacecap -- Installation failed.
MSI (s) (A4:38) [10:01:02:011]: Windows Installer installed the product. Product Name: Pacecap. Product Version: \
1.0.0.0. Product Language: 1033. Manufacturer: M. Installation success or error status: 1603.
"""


def installer_self_test():
    """The decisions of the package's steps, on hand-made samples."""
    names = ["Pacecap-1.0.10.0-x64.msi", "Pacecap-1.0.9.0-x64.msi", "Pacecap-1.0.0.0-arm64.msi", "Pacecap.exe"]
    found = kit_packages(names, "x64")
    problems = []
    for bad in (["Pacecap-1.0.0.0-x64.msi", "Pacecap-1.0.0.1-x64.msi"], ["Pacecap-1.0.0.0-x64.msi"], names[2:]):
        try:
            problems.append(kit_packages(bad, "x64"))
        except ValueError:
            pass
    check("picks the older and newer package of a processor by version; two that differ in the fourth field alone, "
          "or fewer than two, are an error", found == (("Pacecap-1.0.9.0-x64.msi", "1.0.9.0"),
                                                       ("Pacecap-1.0.10.0-x64.msi", "1.0.10.0")) and not problems,
          (found, problems))
    package = parse_package(
        "property\tProductCode\t{A-1}\nproperty\tUpgradeCode\t{B-2}\ncondition\tNOT NEWERFOUND\tNo.\n"
        "condition\tX\t\naction\tStop\t19\tRefused.\naction\tSet\t51\tA=1\naction\tRun\t7173\tRun\n"
        "action\tUnused\t19\tNever.\nsequence\tStop\tPLUGGEDIN > 100\nsequence\tRun\tPLUGGEDIN\n"
        "upgrade\tOLDERFOUND\t768\nupgrade\tNEWERFOUND\t2\nupgrade\tNONE\t\n")
    check("reads the package's properties, its refusals (launch conditions, and type-19 actions that its sequence "
          "runs) with their conditions, its detect-only Upgrade properties, and a log in UTF-16 or ANSI",
          package == ({"ProductCode": "{A-1}", "UpgradeCode": "{B-2}"},
                      [("NOT NEWERFOUND", "No."), ("PLUGGEDIN > 100", "Refused.")], ["NEWERFOUND"])
          and read_log(b"\xff\xfe" + "Product: x".encode("utf-16-le")) == "Product: x"
          and read_log(b"a\r\n") == "a\r\n", package)
    in_use = "Info 1603. The file C:\\P\\a.exe is being held in use.\nProperty(S): ReplacedInUseFiles = 1\n"
    outcomes = [msiexec_outcome(code, log)[0] for code, log in ((0, ""), (3010, in_use), (3010, "Property(S): "
                "ReplacedInUseFiles = 0\n"), (1641, in_use), (1603, ""), (None, ""))]
    check("exit 0 succeeds; 3010 only where the log names a file held in use; 1641, errors and no end do not",
          outcomes == [True, True, False, False, False, False] and "a.exe" in msiexec_outcome(3010, in_use)[1],
          outcomes)
    check("a refusal is an exit code that is neither success nor a pending restart",
          [refused_outcome(code) for code in (1603, 1638, 0, 3010, 1641, None)] == [True, True] + [False] * 4)
    refusals = [("NOT PLUGGEDIN OR PLUGGEDIN <= 100", "PLUGGEDIN must be a whole number from 0 to 100."),
                ("NOT NEWERFOUND", "A newer Pacecap is installed already.")]
    messages = [refusal_message(SAMPLE_LOG, refusals, tested) for tested in (["NEWERFOUND"], ["PLUGGEDIN"],
                                                                             ["NEWER"], [])]
    check("finds in the log the package's own refusal that tests the property named, and no other",
          messages == [refusals[1][1], None, None, None] and len(log_errors(SAMPLE_LOG)) == 4,
          (messages, log_errors(SAMPLE_LOG)))
    env = {"SYSTEMROOT": "C:\\Windows", "PROGRAMFILES": "C:\\Program Files"}
    data = "%SystemRoot%\\system32;;C:\\Program Files\\pacecap\\;%NOPE%\\x\0".encode("utf-16-le")
    entries = path_entries(data, env)
    check("reads a Path value's entries, expanded, and tells the install folder however it is written",
          entries == ["C:\\Windows\\system32", "C:\\Program Files\\pacecap\\", "%NOPE%\\x"]
          and [same_folder(entry, "C:/Program Files/Pacecap") for entry in entries] == [False, True, False], entries)
    definition = task_definition(SAMPLE_TASK)
    other = dict(definition, user="S-1-5-21-1-2-3-1001")
    values_found = [task_values(definition, env, "C:\\Program Files\\Pacecap"),
                    task_values(definition, env, "C:\\Program Files\\Other"), task_values(other, env,
                                                                                          "C:\\Program Files\\Pacecap")]
    check("reads the task's values where it is as Register makes it from the folder, else names what is not",
          values_found[0] == (96, 82) and len(values_found[1]) == 2 and len(values_found[2]) == 1, values_found)
    packages = {"older": {"code": "{O}", "version": "1.0.0.0"}, "newer": {"code": "{N}", "version": "1.0.1.0"}}
    states = [expected_state(step, packages, ["C:\\A"]) for step in INSTALLER_STEPS]
    check("the steps use only the two packages, and end as they begin: nothing of them installed, no task",
          all(step.arguments[1] in packages for step in INSTALLER_STEPS) and states[-1]["products"] == []
          and states[-1]["task"] is None and not states[-1]["folder"], states[-1])
    found = dict(states[4], files=INSTALLED[1:], task=["the script is not given -PluggedIn 99"])
    check("names each way the state found differs from the one expected, and none for the same",
          state_problems(states[4], states[4]) == [] and [problem.split(":")[0] for problem in
                                                          state_problems(found, states[4])] == ["files", "task"],
          state_problems(found, states[4]))


def self_test():
    """The script's own logic, on recorded or hand-made samples."""
    sample = (ROOT / "tests" / "windows" / "powercfg-sample.txt").read_text()
    check("parses the recorded powercfg output", parse_powercfg(sample) == (100, 80), parse_powercfg(sample))
    try:
        parse_powercfg("Current AC Power Setting Index: 0x00000064\n")
        check("output without a DC index is an error", False, "accepted")
    except ValueError:
        check("output without a DC index is an error", True)
    scheme, writes = {"now": (100, 80)}, []

    def write(ac, dc):
        writes.append((ac, dc))
        scheme["now"] = (ac, dc)

    with contextlib.suppress(RuntimeError):
        with scheme_restored(lambda: scheme["now"], write):
            scheme["now"] = (99, 50)
            raise RuntimeError("a step failed")
    check("a failed step still puts the original values back", writes == [(100, 80)], writes)

    lines = [summary_line({"passed": 3, "failed": 1, "skipped": 0}), summary_line({"passed": 3, "failed": 0, "skipped": 2})]
    check("the summary line names skipped checks only when there are some",
          lines == ["3 passed, 1 failed", "3 passed, 0 failed, 2 skipped"], lines)

    stored = "C:\\A;%SystemRoot%\\x\0".encode("utf-16-le")
    check("a folder is added to the PATH data as stored, %SystemRoot% unexpanded, one terminator",
          path_with(stored, "C:\\B") == "C:\\A;%SystemRoot%\\x;C:\\B\0".encode("utf-16-le")
          and path_with("C:\\A;\0\0".encode("utf-16-le"), "C:\\B") == "C:\\A;C:\\B\0".encode("utf-16-le"),
          path_with(stored, "C:\\B"))
    registry = {"value": (REG_EXPAND_SZ, stored)}

    def store(kind, data):
        registry["value"] = (kind, data)

    with contextlib.suppress(RuntimeError):
        with machine_path_restored(lambda: registry["value"], store):
            store(REG_SZ, "C:\\A;C:\\Windows\\x\0".encode("utf-16-le"))
            raise RuntimeError("a step failed")
    check("a failed step still puts the PATH value back with its kind", registry["value"] == (REG_EXPAND_SZ, stored),
          registry)

    owner, rules = parse_security("S-1-5-32-544\nS-1-5-32-545 1245631 Allow False 0\nS-1-5-11 1245631 Allow True 2\n"
                                  "S-1-5-32-545 -1610612736 Allow True 0\nS-1-5-18 2032127 Allow True 0\n"
                                  "S-1-3-0 268435456 Allow True 0\nS-1-5-21-1-2-3-500 1245631 Deny False 0")
    check("a Modify rule for Users lets them write; read, deny, CREATOR OWNER, SYSTEM rules and rules for "
          "children only do not", owner == ADMINISTRATORS_SID and untrusted_writes(rules) == rules[:1]
          and untrusted_writes(rules[1:]) == [], (owner, rules))

    definition = task_definition(SAMPLE_TASK)
    check("reads a task's triggers, action, user and time limit",
          definition["triggers"][0] == ("LogonTrigger", None, None) and definition["triggers"][1][2] == "PT10S"
          and is_system(definition["user"]) and definition["time_limit"] == TIME_LIMIT
          and subscription_terms(definition["triggers"][1][1])["ids"] == {1}, definition)
    env = {"SYSTEMROOT": "C:\\Windows", "PROGRAMFILES": "C:\\Program Files"}
    script = "C:\\Program Files\\Pacecap\\Task\\Remediate-Pacecap.ps1"
    exe = "C:\\Program Files\\Pacecap\\Task\\Pacecap.exe"
    # Nine flaws: another program, three switches missing or after -File, no
    # Bypass, the path unquoted, no exe, no values.
    flawed = action_problems("powershell.exe", "-File " + script + " -NoProfile", env, script, exe, 96, 82)
    other_exe = action_problems(definition["command"], definition["arguments"], env, script,
                                "C:\\Program Files\\Pacecap\\Pacecap.exe", 96, 82)
    check("the action is accepted as written, and each flaw of another is named",
          action_problems(definition["command"], definition["arguments"], env, script, exe, 96, 82) == []
          and len(flawed) == 9 and len(other_exe) == 1, (flawed, other_exe))
    terms = subscription_terms(SAMPLE_SUBSCRIPTION)
    check("reads a subscription's logs, providers, ids and suppressed paths",
          terms["logs"] == {"System"} and terms["ids"] == {1, 107, 507} and len(terms["suppress"]) == 1
          and terms["providers"] == {"Microsoft-Windows-Power-Troubleshooter", "Microsoft-Windows-Kernel-Power"}, terms)
    events = parse_events(SAMPLE_EVENTS)
    check("reads events: record id, provider, id and ProcessPath, oldest first",
          events == [(7, "Microsoft-Windows-Kernel-Power", 107, None),
                     (42, SCHEME_PROVIDER, 12, "C:\\Windows\\System32\\powercfg.exe")] and by_powercfg(events[1]), events)
    check("reads a task's state line", parse_task_state("Ready 638712345678901234 267011")
          == ("Ready", 638712345678901234, 267011) and parse_task_state("") is None, parse_task_state(""))
    check("reads declared events", parse_provider_events("107\tSystem\tThe system has resumed from sleep.")
          == {107: [("System", "The system has resumed from sleep.")]})
    own, other = "C:\\P\\Task\\Pacecap.exe", "C:\\P\\Pacecap.exe"
    seen = [(1, SCHEME_PROVIDER, 12, other), (2, SCHEME_PROVIDER, 12, own.lower()), (3, SCHEME_PROVIDER, 12, own),
            (4, SCHEME_PROVIDER, 12, None), (5, SCHEME_PROVIDER, 12, other)]
    foreign = [foreign_events(seen, own, {1}), foreign_events(seen[:3], own, {1}), foreign_events(seen[1:3], own),
               foreign_events(seen[:3], own)]
    check("scheme changes that may rightly start the task: any that neither its copy nor the expected change made",
          foreign == [seen[3:], [], [], seen[:1]], foreign)
    machines = [pe_machine(pe_sample(number)) for number in (0x8664, 0xAA64, 0x14C)]
    try:
        pe_machine(b"MZ" + bytes(100))
        check("reads an image's machine; bytes that are no PE image are an error", False, machines)
    except ValueError:
        check("reads an image's machine; bytes that are no PE image are an error",
              machines == ["x64", "arm64", "0x014C"], machines)
    folder = pester_folder("Welcome to .NET!\nglobal-packages: C:\\Users\\r\\.nuget\\packages\\\n",
                           '<ItemGroup>\n    <PackageDownload Include="Pester" Version="[5.7.1]" />\n')
    manifest = json.dumps({"version": 1, "tools": {"powershell": {"version": "7.6.9", "commands": ["pw" + "sh"]}}})
    hosts = pester_hosts(manifest, "C:\\p", ["net10.0"])
    check("finds Pester where NuGet restores the pinned version, and runs the pinned pwsh as dotnet with its pwsh.dll",
          folder == "C:\\Users\\r\\.nuget\\packages\\pester\\5.7.1\\tools"
          and [version for _, _, version in hosts] == ["5.1.", "7.6.9."]
          and hosts[1][1] == ["dotnet", "C:\\p\\powershell\\7.6.9\\tools\\net10.0\\any\\win\\pwsh.dll"],
          (folder, hosts))
    for frameworks in ([], ["net9.0", "net10.0"]):
        try:
            check("a pwsh package with %d framework folders is an error" % len(frameworks), False,
                  pester_hosts(manifest, "C:\\p", frameworks))
        except ValueError:
            check("a pwsh package with %d framework folders is an error" % len(frameworks), True)
    decision_rows()
    steps = unzip_fix((ROOT / "README.md").read_text(encoding="utf-8"))
    check("finds the README's two icacls commands for an unzipped folder: owner Administrators, then a reset",
          steps == [["/setowner", "*" + ADMINISTRATORS_SID, "/T", "/C", "/Q"], ["/reset", "/T", "/C", "/Q"]], steps)
    counts = [suite_counts(text) for text in ("1 passed, 1 failed\n3 passed, 0 failed\n", "1 passed, 2 failed, 4 skipped\n",
                                              "Tests Passed: 3, Failed: 0\n")]
    check("reads a suite's last count line", counts == [(3, 0, 0), (1, 2, 4), None], counts)
    with tempfile.TemporaryDirectory() as temporary:
        for name, candidate, steps in REFUSALS:
            base, grants = Path(temporary) / name.replace(" ", "-"), []
            base.mkdir()
            marker = base / "RunMarker.exe"
            marker.write_bytes(b"MZ")
            markers = make_case(base, steps, marker, "S-1-5-21-1-2-3-1001", lambda *args: grants.append(args))
            check("the refusal case is made as its row says: %s" % name, base / candidate in markers
                  and all(item.exists() for item in markers) and all("{" not in args[2] for args in grants)
                  and ("S-1-5-21-1-2-3-1001" in str(grants)) == ("{account}" in str(steps)), (markers, grants))
    exe = "C:\\Program Files\\PacecapTest-1\\u\\Pacecap.exe"
    check("a refusal names the file and the install folder; a test folder's name does not count as the latter",
          refused(Ran(4, "Refused %s: users can replace it; use C:\\Program Files\\Pacecap" % exe, ""), exe)
          and not refused(Ran(4, "Refused %s" % exe, ""), exe)
          and not refused(Ran(1, "Refused %s; use C:\\Program Files\\Pacecap" % exe, ""), exe))
    installer_self_test()


def decision_rows():
    """The Windows run's decisions on hand-made data: the token, the
    machine, what each check needs, and the job's use of pwsh."""
    problems = [elevation_problem(*row) for row in ((True, 0x3000), (True, 0x4000), (False, 0x2000), (True, 0x2000),
                                                    (False, 0x3000))]
    check("elevated at high or system integrity runs; anything else stops with one line naming token and level",
          problems[:2] == [None, None] and all(p and "\n" not in p for p in problems[2:])
          and "not elevated at medium (0x2000)" in str(problems[2]) and "elevated at medium" in str(problems[3])
          and "not elevated at high (0x3000)" in str(problems[4]), problems)

    def cpu_set(kind, efficiency, size=32):
        entry = bytearray(size)
        entry[0:4], entry[4:8] = size.to_bytes(4, "little"), kind.to_bytes(4, "little")
        entry[CPU_SET_EFFICIENCY_AT:CPU_SET_EFFICIENCY_AT + 1] = bytes([efficiency])
        return bytes(entry[:size])
    classes = [efficiency_classes(data) for data in (
        cpu_set(0, 0) * 4, cpu_set(0, 0) + cpu_set(0, 1) + cpu_set(1, 2), cpu_set(0, 1) + cpu_set(0, 0, size=8),
        cpu_set(0, 1) + cpu_set(0, 0)[:20], b"")]
    check("reads the cores' efficiency classes, each entry by its own size; other kinds and short entries are not read",
          classes == [{0}, {0, 1}, {1}, {1}, set()], classes)

    def capabilities(*at):
        data = bytearray(POWER_CAPABILITIES_SIZE)
        for offset in at:
            data[offset] = 1
        return bytes(data)
    read = [power_capabilities(capabilities(*at)) for at in ((), (5, BATTERIES_AT), (3, 6, AOAC_AT))]
    check("reads the power capabilities: battery, sleep states, Modern Standby",
          read == [(False, [], False), (True, ["S3"], False), (False, ["S1", "S4 (hibernation)"], True)], read)
    try:
        power_capabilities(bytes(POWER_CAPABILITIES_SIZE - 1))
        check("too few bytes of power capabilities are an error", False)
    except ValueError:
        check("too few bytes of power capabilities are an error", True)
    bare, full = Machine(1, False, [], False), Machine(2, True, ["S3"], True)
    check("names what the machine has", (machine_text(bare), machine_text(full)) == (
        "one kind of core, no battery, sleep states: none, no Modern Standby",
        "2 kinds of core, a battery, sleep states: S3, Modern Standby"), (machine_text(bare), machine_text(full)))

    verdicts = [class_one_verdict(*row)[1] for row in (
        (1, None, None), (2, None, None), (1, (100, 100), (100, 100)), (1, (100, 100), (99, 80)),
        (1, (99, 80), (99, 80)), (2, (100, 100), (99, 80)), (2, (100, 100), (100, 100)), (2, (99, 80), (99, 80)))]
    check("class 1: skipped with nothing to compare; on one kind of core left alone, on two written",
          verdicts == [None, None, True, False, None, True, False, None], verdicts)

    screen = "values\r\n%s\r\n" % PROMPT
    waits = [awaited(*row) for row in ((None, screen), (None, screen, 0), (0, screen), (None, "values\r\n"),
                                       (None, screen, 1), (None, screen, -1), (None, "", 0))]
    check("a key is pressed only with Pacecap running, its prompt shown and the marker gone; else what is missing",
          waits[:2] == [None, None] and "ended" in str(waits[2]) and "prompt" in str(waits[3])
          and "marker gone" in str(waits[4]) and "could not count" in str(waits[5]) and "prompt" in str(waits[6]), waits)

    resume = [(1, "Microsoft-Windows-Kernel-Power", 107, None), (2, "Microsoft-Windows-Power-Troubleshooter", 1, None)]
    verdicts = [resume_verdict(*row)[0] for row in (
        (bare, [], []), (full, [], []), (full, resume, resume), (full, resume, resume[:1]), (full, resume, None),
        (full, None, resume), (full, resume[:1], resume), (bare, [], None))]
    reasons = [resume_verdict(machine, [], [])[1] for machine in (bare, full)]
    check("the resume query must select exactly the logged resume events; none logged skips, naming why, "
          "unless the query is refused",
          verdicts == [None, None, True, False, False, False, False, False] and "never resumes" in str(reasons[0])
          and "no resume event yet" in str(reasons[1]), (verdicts, reasons))

    hybrid = values(99, 80).replace(b"\r\n\r\n", b"\r\nplugged-in value of efficiency class 1 is 100%\r\n\r\n")
    starts = [start_problem(Ran(code, out, ""), expected) for code, out, expected in (
        (0, b"", ()), (1, b"", ()), (0, values(99, 80), value_lines(99, 80)), (0, hybrid, value_lines(99, 80)),
        (0, b"", value_lines(99, 80)), (0, values(99, 81), value_lines(99, 80)), (0xC0000135, b"", value_lines(99, 80)))]
    check("a timed program must exit 0, and a Pacecap print the values, before any figure",
          starts[0] is None and starts[2:4] == [None, None] and "exit code 0x00000001" in str(starts[1])
          and "without" in str(starts[4]) and "80%" in str(starts[5]) and "0xC0000135" in str(starts[6]), starts)

    names = [name for name, needs, without in GROUPS if needs and without]
    runs = group_runs("x.exe", Path("kit"), Path("work"), None, None, bare)
    check("each group of the Windows run names what it needs and what it does without it, once",
          len(names) == len(GROUPS) == len(set(names)) and names == [name for part in runs for name in part],
          (names, [list(part) for part in runs]))

    tool = "pw" + "sh"  # not spelled out, so that the scan of this script passes it by
    bad_workflow = "\n".join([
        "jobs:", "  a:", "    runs-on: windows-latest", "    steps:", "      - run: %s -File x.ps1" % tool,
        "  b:", "    runs-on: ${{ matrix.runner }}", "    strategy:", "      matrix:", "        include:",
        "          - runner: windows-11-arm", "    defaults:", "      run:", "        shell: powershell",
        "    steps:", "      - run: dotnet tool run %s -File x.ps1" % tool, "      - run: echo",
        "        shell: %s" % tool, "  c:", "    runs-on: ubuntu-latest", "    steps:", "      - run: %s -c 1" % tool])
    bad_script = "\n".join(['x = ["%s", "-File", y]' % tool, 'x = ["dotnet", "tool", "run", "%s"]' % tool,
                            'x = ["dotnet", dll]  # %s.dll' % tool])
    flagged = pwsh_starts(bad_workflow, bad_script)
    real = pwsh_starts((ROOT / ".github" / "workflows" / "ci.yml").read_text(), Path(__file__).read_text())
    check("nothing starts pwsh by name in the Windows jobs or this script; each way of doing so is found",
          real == [] and [where.split(" (")[0] for where, _ in flagged] == [
              "a step 1", "a step 1", "b step 1", "b step 2", "real_windows.py line 1", "real_windows.py line 2"],
          (real, flagged))


def run_group(name, group):
    try:
        group()
    except Exception as error:  # the group's remaining checks cannot run
        check("%s: every check ran" % name, False, repr(error))


# What each group of checks needs from the machine, beyond the elevated
# administrator's token that a run checks for first (and the kit's tools),
# and what it does where that is missing. No group needs a battery: the
# on-battery value is a setting of every scheme, with a battery or without.
GROUPS = [
    ("processor", "x64 or ARM64 Windows with IsWow64Process2", "fails: the exe or a tool is for another processor"),
    ("power scheme", "an active power scheme that powercfg reads and writes; for the class-1 check, a class-1 "
     "setting (two kinds of core: it is written too; one kind: it is left alone)",
     "the class-1 check skips where the scheme has no class-1 setting, or where its values already are the ones "
     "written"),
    ("planted libraries", "a temporary folder", "fails"),
    ("close prompt", "for the three waiting checks, an interactive window station (WSF_VISIBLE), where a new "
     "console may go to Windows Terminal", "the three skip where the window station is not interactive; each wait "
     "is bounded, and its failure names what was never seen"),
    ("roll-out scripts", "%ProgramFiles% and Windows PowerShell 5.1", "fails"),
    ("folders", "NTFS access rules and owners under %ProgramFiles%", "fails"),
    ("machine PATH", "32-bit Windows PowerShell (SysWOW64), the Task Scheduler to run as SYSTEM, and no "
     "%ProgramFiles%\\Pacecap", "skips (5) where %ProgramFiles%\\Pacecap\\Pacecap.exe is there: elevated, the scripts use that one"),
    ("as SYSTEM", "the Task Scheduler to run as SYSTEM", "fails"),
    ("refusals as SYSTEM", "a local account that can be made and deleted (New-LocalUser)", "fails"),
    ("path forms", "Windows PowerShell 5.1, the Task Scheduler to run as SYSTEM, and subst", "fails"),
    ("a planted junction", "no %ProgramFiles%\\Pacecap and no Pacecap task yet, and mklink /J", "skips (1) where "
     "either is there already"),
    ("the unzip route", "the README's icacls commands", "fails"),
    ("the task that keeps the limits", "no Pacecap task and no %ProgramFiles%\\Pacecap yet, the System log's "
     "scheme-change events; for the resume check, a resume event in the System log (a machine with a sleep state "
     "or Modern Standby that has resumed)", "skips (1) where either is there already; the resume check skips where "
     "the log holds no resume event; each scheme-change window check skips where a change that the task's copy "
     "did not make came within it"),
    ("manifests", "the manifests of UserModePowerService and Kernel-Power", "the Kernel-Power check skips where that "
     "provider is not registered"),
    ("the Windows Installer package", "the kit's two packages for this processor, holding the exe under test, "
     "Windows Installer, the Task Scheduler, and no Pacecap installed yet", "skips, counted, where the exe under test "
     "is not the package's (a Visual Studio build); a step whose package is not installed as expected skips the "
     "checks that need it"),
    ("cold start", "nothing more", "each program fails its check where it does not run or print its values; no "
     "figures are taken then"),
]


def group_runs(exe, kit, work, summary, emulated, machine):
    """The groups' runs by GROUPS' names: those that run on their own, those
    that take the job's protected folder, and those that come after it."""
    alone = {"processor": lambda: machine_cases(exe, kit, emulated),
             "power scheme": lambda: power_scheme_cases(exe, machine),
             "planted libraries": lambda: planted_library_cases(exe, kit, work),
             "close prompt": lambda: close_prompt_cases(exe, kit)}
    protected = {"roll-out scripts": rollout_cases, "folders": layout_cases, "machine PATH": machine_path_cases,
                 "as SYSTEM": system_cases, "refusals as SYSTEM": refusal_cases, "path forms": path_form_cases,
                 "a planted junction": planted_junction_cases, "the unzip route": unzip_route_cases,
                 "the task that keeps the limits": lambda layout: keeping_task_cases(layout, machine)}
    after = {"manifests": manifest_cases,
             "the Windows Installer package": lambda: installer_cases(kit, exe, work),
             "cold start": lambda: cold_start(exe, kit, summary, emulated)}
    return alone, protected, after


def class_one_kept():
    """Puts the class-1 values back at the end, where the scheme has them:
    on two kinds of core every run of Pacecap that sets values writes them."""
    if read_class_one() is None:
        return contextlib.nullcontext()
    return restored(lambda original: "the original class-1 values %r are back" % (original,), read_class_one,
                    write_class_one)


def windows_checks(exe, kit, work, summary, emulated):
    try:
        machine = read_machine()
        print("this machine: %s" % machine_text(machine))
    except OSError as error:  # the checks that need to know then take it for bare
        check("the machine's kinds of core and power capabilities can be read", False, error)
        machine = Machine(1, False, [], False)
    for name, needs, without in GROUPS:
        print("group %s -- needs: %s; without: %s" % (name, needs, without))
    alone, protected, after = group_runs(exe, kit, work, summary, emulated, machine)
    with class_one_kept():
        for name, group in alone.items():
            run_group(name, group)
        try:
            with protected_folder() as root:
                layout = Layout(root, exe, kit)
                for name, group in protected.items():
                    run_group(name, lambda: group(layout))
        except Exception as error:
            check("the job's protected folders are made", False, repr(error))
        for name, group in after.items():
            run_group(name, group)


def main():
    # A pipe's code page (Windows' ANSI one) may lack a character of what a
    # program printed: it is written escaped rather than stopping a group.
    sys.stdout.reconfigure(errors="backslashreplace")
    args = sys.argv[1:]
    if args == ["--self-test"]:
        self_test()
    elif args == ["--pester"]:
        run_group("the PowerShell suite", pester_cases)
    elif args == ["--token"]:  # shows, and fails nothing: the run itself stops where it must
        try:
            elevated, level = token_elevation()
            print(elevation_problem(elevated, level) or "Elevated, at %s integrity" % integrity_name(level))
        except OSError as error:
            print("This process's token could not be read: %s" % error)
        return 0
    elif args and not args[0].startswith("-"):
        try:
            problem = elevation_problem(*token_elevation())
        except OSError as error:
            problem = "Not run: this process's token could not be read: %s" % error
        if problem:  # on standard output, as the one line of the run
            print(problem)
            return 1
        kit = Path(args[0]).resolve()
        options = dict(zip(args[1::2], args[2::2]))
        exe = str(Path(options.get("--exe", kit / "Pacecap.exe")).resolve())
        work = Path(tempfile.mkdtemp(prefix="pacecap-windows-"))
        try:
            emulated = options.get("--emulated")
            windows_checks(exe, kit, work, options.get("--summary"), emulated and str(Path(emulated).resolve()))
        finally:
            shutil.rmtree(work, ignore_errors=True)
    else:
        sys.exit(__doc__)
    print(summary_line(results))
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
