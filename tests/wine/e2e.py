#!/usr/bin/python3
"""End-to-end tests: the real Pacecap.exe and PacecapKeep.exe under Wine,
against the stand-in power library, with exact command lines. Ends with "N passed, M failed".

Usage: e2e.py [--arm64] WINDOWS_BUILD_DIR
--arm64 runs an ARM64 build with the Wine of the arm64 root that
tools/arm64_wine sets up; where that could not be, every case is skipped.
"""
import itertools
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent.parent))
from testlib.expected import INVALID, USAGE, set_lines, values  # noqa: E402
from testlib.wine import (  # noqa: E402
    LAUNCHER_FAILED, RUN_TIMEOUT, STAND_IN, START_FAILURE, START_RETRIES, Wine, arm64_wine, start, win_path)

NO_SCHEME = b"Error retrieving the active power scheme\r\n"
READS = ["PowerGetActiveScheme", "PowerReadACValueIndex", "PowerReadDCValueIndex"]
STATUS_DLL_NOT_FOUND = 0xC06D007E
STATUS_PROC_NOT_FOUND = 0xC06D007F


def writes(plugged_in, on_battery=None):
    calls = ["PowerGetActiveScheme", "PowerWriteACValueIndex %d" % plugged_in]
    if on_battery:
        calls.append("PowerWriteDCValueIndex %d" % on_battery)
    return calls + ["PowerSetActiveScheme"]


class Suite:
    """Counts the cases; errors is the list where the runs leave their
    standard error, shown with each failure."""

    def __init__(self, skip=None, errors=None):
        self.passed = 0
        self.failed = 0
        self.skipped = 0
        self.skip = skip
        self.errors = [] if errors is None else errors
        self.problems = []

    def case(self, name, body):
        self.problems = []
        if self.skip:
            self.skipped += 1
            return
        self.errors.clear()
        try:
            body()
        except Exception as error:  # a crash of the case is a failure of it
            self.problems.append("raised %r" % error)
        if self.problems:
            self.failed += 1
            print("FAIL  %s" % name)
            for problem in self.problems + ["stderr: %r" % err for err in self.errors if err]:
                print("      " + problem)
        else:
            self.passed += 1
            print("ok    %s" % name)

    def check(self, condition, what, result=None):
        if not condition:
            self.problems.append(what + ("" if result is None else ": %r" % (result,)))

    def expect(self, result, out=None, code=None, calls=None, scheme=None):
        if out is not None:
            self.check(result.out == out, "output %r, expected %r" % (result.out, out))
        if code is not None and result.code is None:
            self.check(False, "the launch failed (Wine's status %d): the program gave no exit code" % result.status)
        elif code is not None:
            self.check(result.code == code, "exit code 0x%08X, expected 0x%08X" % (result.code, code))
        if calls is not None:
            self.check(result.calls == calls, "calls %r, expected %r" % (result.calls, calls))
        if scheme is not None:
            self.check(result.scheme == scheme, "scheme %r, expected %r" % (result.scheme, scheme))


def mode_cases(suite, wine):
    def case(name, line, out, code, calls, scheme, **kw):
        suite.case(name, lambda: suite.expect(wine.run(line, **kw), out, code, calls, scheme))

    case("no arguments: usage and current values", b"Pacecap", USAGE + values(85, 60), 1, READS, (85, 60, 0))
    case("0 alone: current values", b"Pacecap 0", values(85, 60), 0, READS, (85, 60, 0))
    case("text alone: current values", b"Pacecap abc", values(85, 60), 0, READS, (85, 60, 0))
    case("quoted number alone: current values", b'Pacecap "50"', values(85, 60), 0, READS, (85, 60, 0))
    case("non-ASCII alone: current values", b"Pacecap \xe9\xfc", values(85, 60), 0, READS, (85, 60, 0))
    case("99 80: both set and applied", b"Pacecap 99 80", set_lines(99, 80), 0, writes(99, 80), (99, 80, 1))
    case("99: on-battery left alone", b"Pacecap 99", set_lines(99), 0, writes(99), (99, 60, 1))
    case("99 0: on-battery left alone", b"Pacecap 99 0", set_lines(99), 0, writes(99), (99, 60, 1))
    case("0 80: plugged-in set to 0", b"Pacecap 0 80", set_lines(0, 80), 0, writes(0, 80), (0, 80, 1))
    case("0 0: plugged-in set to 0 and applied", b"Pacecap 0 0", set_lines(0), 0, writes(0), (0, 60, 1))
    case("100 100 accepted", b"Pacecap 100 100", set_lines(100, 100), 0, writes(100, 100), (100, 100, 1))
    case("leading zeros", b"Pacecap 0099 007", set_lines(99, 7), 0, writes(99, 7), (99, 7, 1))
    case("values after the second ignored", b"Pacecap 50 60 70 abc", set_lines(50, 60), 0, writes(50, 60),
         (50, 60, 1))
    for args in [b"101", b"50 101", b"-5", b"50 -1", b"4294967346", b"50 4294967296", b"abc 50", b'"50" 60',
                 b"50 abc", b"0000000000101", b"+5 5"]:
        case("invalid value %s" % args.decode(), b"Pacecap " + args, INVALID, 1, [], (85, 60, 0))
    suite.case("arguments through wine's own command line",
               lambda: suite.expect(wine.run(args=["99", "80"]), set_lines(99, 80), 0, writes(99, 80), (99, 80, 1)))


def splitting_cases(suite, wine):
    def case(name, line, out, code, calls, scheme):
        suite.case(name, lambda: suite.expect(wine.run(line), out, code, calls, scheme))

    case("runs of spaces and trailing spaces", b"Pacecap    99     80    ", set_lines(99, 80), 0, writes(99, 80),
         (99, 80, 1))
    case("tab does not separate", b"Pacecap 99\t80", set_lines(99), 0, writes(99), (99, 60, 1))
    case("quotes group and stay", b'Pacecap "99 80"', values(85, 60), 0, READS, (85, 60, 0))
    case("quoted program path with spaces", b'"C:\\Program Files\\Pace cap\\Pacecap.exe" 42', set_lines(42), 0,
         writes(42), (42, 60, 1))
    case("unclosed quote takes the rest", b'Pacecap 50 "60 70', INVALID, 1, [], (85, 60, 0))
    case("leading space shifts the arguments", b" Pacecap 99", INVALID, 1, [], (85, 60, 0))
    case("only spaces: usage", b"   ", USAGE + values(85, 60), 1, READS, (85, 60, 0))
    case("an empty command line, which Wine passes as the quoted program path: usage", b"",
         USAGE + values(85, 60), 1, READS, (85, 60, 0))
    head = b"Pacecap 42 55 "
    case("511 bytes are split", head + b"x" * (511 - len(head)), set_lines(42, 55), 0, writes(42, 55),
         (42, 55, 1))
    case("512 bytes: usage", head + b"x" * (512 - len(head)), USAGE + values(85, 60), 1, READS, (85, 60, 0))
    case("many arguments", b"Pacecap 10 20 " + b" ".join([b"7"] * 150), set_lines(10, 20), 0, writes(10, 20),
         (10, 20, 1))


def failure_cases(suite, wine):
    def case(name, line, fail, out, code, calls, scheme):
        suite.case(name, lambda: suite.expect(wine.run(line, fail=fail), out, code, calls, scheme))

    no_scheme = {"PowerGetActiveScheme": 2}
    case("set mode without active scheme", b"Pacecap 99 80", no_scheme, NO_SCHEME, 2, ["PowerGetActiveScheme"],
         (85, 60, 0))
    case("show mode without active scheme", b"Pacecap 0", no_scheme, b"\r\n", 0, ["PowerGetActiveScheme"],
         (85, 60, 0))
    case("usage without active scheme", b"Pacecap", no_scheme, USAGE + b"\r\n", 1, ["PowerGetActiveScheme"],
         (85, 60, 0))
    case("plugged-in read fails", b"Pacecap 0", {"PowerReadACValueIndex": 5},
         b"\r\non-battery value is 60%\r\n\r\n", 0, READS, (85, 60, 0))
    case("on-battery read fails", b"Pacecap 0", {"PowerReadDCValueIndex": 5},
         b"\r\nplugged-in value is 85%\r\n\r\n", 0, READS, (85, 60, 0))
    case("plugged-in write fails", b"Pacecap 99 80", {"PowerWriteACValueIndex": 5},
         b"Error: Failed to write 'plugged-in' value\r\non-battery value set to 80%\r\nChanges applied\r\n", 3,
         writes(99, 80), (85, 80, 1))
    case("on-battery write fails", b"Pacecap 99 80", {"PowerWriteDCValueIndex": 5},
         b"plugged-in value set to 99%\r\nError: Failed to write 'on-battery' value\r\nChanges applied\r\n", 3,
         writes(99, 80), (99, 60, 1))
    case("apply fails", b"Pacecap 99 80", {"PowerSetActiveScheme": 31}, set_lines(99, 80, applied=False), 3,
         writes(99, 80), (99, 80, 0))


def keeper_cases(suite, wine):
    """PacecapKeep.exe, which the task runs: it writes only what differs,
    applies only after a write, and never waits."""
    keeper = wine.build / "PacecapKeep.exe"
    read = ["PowerGetActiveScheme", "PowerReadACValueIndex", "PowerReadDCValueIndex"]
    refused = b"Usage: PacecapKeep PluggedIn_Percent OnBattery_Percent\r\na value of 0 leaves that limit as it is\r\n"
    applied = b"Changes applied\r\n"
    both = ["PowerGetActiveScheme", "PowerReadACValueIndex", "PowerWriteACValueIndex 99", "PowerReadDCValueIndex",
            "PowerWriteDCValueIndex 80", "PowerSetActiveScheme"]
    for name, line, scheme, fail, out, code, calls, after in [
            ("values held: nothing written, nothing applied", b"99 80", (99, 80), None,
             b"limits held: plugged-in 99%, on-battery 80%\r\n", 0, read, (99, 80, 0)),
            ("only the on-battery value differs: only it written, then applied", b"99 80", (99, 60), None,
             b"on-battery value set to 80%\r\n" + applied, 0, read + ["PowerWriteDCValueIndex 80",
                                                                     "PowerSetActiveScheme"], (99, 80, 1)),
            ("plugged-in 0 left as it is", b"0 80", (85, 60), None, b"on-battery value set to 80%\r\n" + applied, 0,
             ["PowerGetActiveScheme", "PowerReadDCValueIndex", "PowerWriteDCValueIndex 80", "PowerSetActiveScheme"],
             (85, 80, 1)),
            ("on-battery 0 left as it is", b"99 0", (85, 60), None, b"plugged-in value set to 99%\r\n" + applied, 0,
             ["PowerGetActiveScheme", "PowerReadACValueIndex", "PowerWriteACValueIndex 99", "PowerSetActiveScheme"],
             (99, 60, 1)),
            ("a value above 100 refused", b"101 80", (85, 60), None, INVALID + refused, 1, [], (85, 60, 0)),
            ("one value alone refused", b"99", (85, 60), None, b"invalid arguments -> abort\r\n" + refused, 1, [],
             (85, 60, 0)),
            ("no active scheme", b"99 80", (85, 60), {"PowerGetActiveScheme": 2}, NO_SCHEME, 2,
             ["PowerGetActiveScheme"], (85, 60, 0)),
            ("a failed write reported, the other written and applied", b"99 80", (85, 60),
             {"PowerWriteACValueIndex": 5},
             b"Error: Failed to write 'plugged-in' value\r\non-battery value set to 80%\r\n" + applied, 3,
             both, (85, 80, 1)),
            ("a failed apply reported", b"99 80", (85, 60), {"PowerSetActiveScheme": 31},
             set_lines(99, 80, applied=False), 3,
             both, (99, 80, 0))]:
        suite.case("keeper: " + name, lambda line=line, scheme=scheme, fail=fail, out=out, code=code, calls=calls,
                   after=after: suite.expect(wine.run(b"PacecapKeep " + line, scheme=scheme, fail=fail, exe=keeper),
                                             out, code, calls, after))


def close_prompt_cases(suite, wine):
    def redirected():
        result = wine.run(b"Pacecap 0")
        suite.check(b"Press any key" not in result.out, "prompt in redirected output", result.out)
        suite.expect(result, code=0)

    suite.case("redirected output: no prompt, no wait", redirected)

    runs = itertools.count()

    def in_terminal(args):
        """Runs wine with args in a tmux terminal of its own server, since a
        socket reused right after kill-server may refuse new-session; made
        again, as start() does, while the screen shows Wine's start failure;
        (exit status or None, screen)."""
        for _ in range(1 + START_RETRIES):
            status, screen = in_terminal_once(args)
            if START_FAILURE not in screen:
                break
        return status, screen

    def in_terminal_once(args):
        socket = "pacecap-e2e-%d-%d" % (os.getpid(), next(runs))
        status = wine.work / "tmux-status.txt"
        status.unlink(missing_ok=True)
        (wine.work / "scheme.txt").write_text("85 60 0\n")
        env = " ".join("%s='%s'" % (k, wine.env[k]) for k in
                       ("WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "PACECAP_SCHEME", "PACECAP_POWER_LOG"))
        command = "env %s %s %s; echo $? > %s; sleep 30" % (env, shlex.join(wine.wine), args, status)
        tmux = ["tmux", "-L", socket]
        subprocess.run(tmux + ["new-session", "-d", "-x", "120", "-y", "40", "-c", str(wine.work), command], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + RUN_TIMEOUT
            while not status.exists() and time.monotonic() < deadline:
                time.sleep(0.1)
            screen = subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True, text=True).stdout
        finally:
            subprocess.run(tmux + ["kill-server"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return (status.read_text().strip() if status.exists() else None), screen

    def terminal():
        status, screen = in_terminal("%s 0" % wine.exe)
        suite.check(status is not None, "still waiting with no key pressed", screen)
        suite.check(status == "0", "exit status in terminal")
        suite.check("on-battery value is 60%" in screen, "values on the terminal", screen)
        suite.check("Press any key" not in screen, "prompt on the terminal", screen)

    suite.case("terminal of a shell: no prompt, no wait", terminal)

    # The Windows jobs read a console screen, put a marker into its input and
    # count it there, and press a key through this helper.
    def console_helper():
        files = {name: wine.work / ("%s.txt" % name) for name in ("screen", "before", "after")}
        for path in files.values():
            path.unlink(missing_ok=True)
        helper = "%s %d" % (win_path(wine.tools / "ConsoleKey.exe"), 0xFFFFFFFF)  # cmd's console
        status, screen = in_terminal("cmd /c \"%s 0 & %s read > %s & %s marked > %s & %s mark & %s marked > %s & %s\"" % (
            win_path(wine.exe), helper, win_path(files["screen"]), helper, win_path(files["before"]), helper, helper,
            win_path(files["after"]), helper))
        seen = {name: path.read_bytes().decode(errors="replace") if path.exists() else None
                for name, path in files.items()}
        suite.check("on-battery value is 60%\r\n" in (seen["screen"] or ""), "the helper did not read the screen",
                    (seen, screen))
        suite.check((seen["before"], seen["after"]) == ("0\r\n", "1\r\n"), "the marker was not put in and counted",
                    (seen, screen))
        suite.check(status == "0", "pressing a key failed", (status, screen))

    suite.case("console helper: reads the screen, puts a marker into the input and counts it, presses a key",
               console_helper)


def planted_library_cases(suite, wine):
    """Copies of a marker library named like the libraries bound on first use,
    beside the exe and in the current directory, must never be loaded."""
    app, cwd, clean = (wine.work / name for name in ("app", "cwd", "clean"))
    if not suite.skip:  # the cases are only counted: nothing to plant
        for folder in (app, cwd, clean):
            folder.mkdir(exist_ok=True)
        for folder in (app, cwd):
            for name in ("POWRPROF", "SHLWAPI", "USER32"):
                shutil.copy(wine.tools / "Marker.dll", folder / (name + ".dll"))
        for folder in (app, clean):
            shutil.copy(wine.exe, folder / "Pacecap.exe")
            shutil.copy(wine.tools / "LoadLibraries.exe", folder / "LoadLibraries.exe")
    # Native first for the planted names; the built-in copies only as a fallback.
    overrides = "powrprof,shlwapi,user32=n,b"

    def control_beside_exe():
        result = wine.run(b"LoadLibraries", exe=app / "LoadLibraries.exe", cwd=cwd, overrides=overrides)
        for name in ("POWRPROF", "SHLWAPI", "USER32"):
            suite.check(any(line.upper().endswith("\\APP\\%s.DLL" % name) for line in result.marker),
                        "control did not load the planted %s" % name, result.marker)

    suite.case("control: an unrestricted program loads the copies beside it", control_beside_exe)

    for name in sorted({"POWRPROF", "SHLWAPI", "USER32"}):
        def beside_exe(name=name):
            result = wine.run(b"Pacecap 0", exe=app / "Pacecap.exe", cwd=cwd, overrides=overrides)
            suite.check(not any(("\\%s.DLL" % name) in line.upper() for line in result.marker),
                        "planted %s loaded" % name, result.marker)
            suite.expect(result, out=values(85, 60), code=0)

        suite.case("%s beside the exe or in the current directory is never loaded" % name, beside_exe)

    # With no power library in System32, only the copy in the current directory
    # could satisfy the load; the restricted search must still pass it by.
    def control_current_dir():
        result = wine.run_with_power_library(None, b"LoadLibraries", exe=clean / "LoadLibraries.exe", cwd=cwd,
                                             overrides="powrprof=n")
        suite.check(any(line.upper().endswith("\\CWD\\POWRPROF.DLL") for line in result.marker),
                    "control did not load the planted POWRPROF from the current directory", result.marker)

    suite.case("control: an unrestricted program loads the copy in the current directory", control_current_dir)

    def current_dir():
        result = wine.run_with_power_library(None, b"Pacecap 0", exe=clean / "Pacecap.exe", cwd=cwd,
                                             overrides="powrprof=n")
        suite.check(result.marker == [], "planted POWRPROF loaded from the current directory", result.marker)
        suite.expect(result, code=STATUS_DLL_NOT_FOUND)

    suite.case("POWRPROF in the current directory is never loaded", current_dir)


def missing_library_cases(suite, wine):
    """A deferred library or function that is missing ends the process with the
    conventional delay-load status, and nothing is printed for it."""
    def case(name, line, out, code, scheme, stand_in=STAND_IN, overrides=None):
        suite.case(name, lambda: suite.expect(wine.run_with_power_library(stand_in, line, overrides=overrides),
                                              out, code, scheme=scheme))

    disabled = "powrprof=d"
    case("power library missing: show mode", b"Pacecap 0", b"", STATUS_DLL_NOT_FOUND, (85, 60, 0),
         overrides=disabled)
    case("power library missing: set mode", b"Pacecap 99 80", b"", STATUS_DLL_NOT_FOUND, (85, 60, 0),
         overrides=disabled)
    case("power library missing: an invalid value never loads it", b"Pacecap 101", INVALID, 1, (85, 60, 0),
         overrides=disabled)
    case("power function missing: ends at the apply step", b"Pacecap 99 80",
         b"plugged-in value set to 99%\r\non-battery value set to 80%\r\n", STATUS_PROC_NOT_FOUND, (99, 80, 0),
         stand_in="StandInPowrprofLacking.dll")

    def program_missing():
        result = wine.run(b"Pacecap 0", exe=wine.work / "missing.exe")
        suite.check((result.code, result.status) == (None, LAUNCHER_FAILED) and
                    "launcher: CreateProcessA failed, error 2\n" in result.err, "not a failed launch", result)

    suite.case("the program itself missing: a failed launch, with the launcher's code and error, not an exit code",
               program_missing)

    # Wine failing to start a process, played by a shell that prints its
    # message at the first starts.
    for name, failures, message, starts in [
            ("a start that Wine failed once is made again, and the second start's output kept", 1, START_FAILURE, 2),
            ("a start that Wine failed three times is given up after the third", 3, START_FAILURE, 3),
            ("a start that failed with another message is not made again", 1, "wine: could not load kernel32.dll", 1)]:
        def started_again(failures=failures, message=message, starts=starts):
            count = wine.work / "starts.txt"
            count.write_text("")
            script = 'echo >> "$0"; [ "$(wc -l < "$0")" -gt %d ] || { echo "%s" >&2; exit 1; }; echo ran' % (
                failures, message)
            done = start(["sh", "-c", script, str(count)], wine.work / "out.bin", wine.work / "err.txt")
            seen = (len(count.read_text().splitlines()), done.returncode, (wine.work / "out.bin").read_bytes())
            suite.check(seen == (starts, 0 if starts > failures else 1, b"ran\n" if starts > failures else b""),
                        "starts, exit status, output", seen)

        suite.case(name, started_again)


def main():
    args = sys.argv[1:]
    arm64 = args[:1] == ["--arm64"]
    args = args[1:] if arm64 else args
    if len(args) != 1:
        sys.exit(__doc__)
    root, skip = arm64_wine() if arm64 else (None, None)
    build = Path(args[0]).resolve()
    work = build / "pacecap-e2e-skipped" if skip else Path(tempfile.mkdtemp(prefix="pacecap-e2e-", dir=build))
    wine = Wine(build, work, root)
    suite = Suite(skip, wine.errors)
    started = time.monotonic()
    try:
        try:
            if skip:
                print("ARM64 Wine suite skipped: %s" % skip)
            else:
                wine.start()
                print("Wine prefix ready in %.1f s" % (time.monotonic() - started))
        except Exception as error:  # every case still runs, and fails
            print("FAIL  Wine prefix: %r" % error)
        for group in (mode_cases, splitting_cases, failure_cases, keeper_cases, close_prompt_cases,
                      planted_library_cases, missing_library_cases):
            group(suite, wine)
    finally:
        if not skip:
            wine.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("Wine suite took %.1f s" % (time.monotonic() - started))
    print("%d passed, %d failed" % (suite.passed, suite.failed) + (", %d skipped" % suite.skipped if skip else ""))
    return 1 if suite.failed else 0


if __name__ == "__main__":
    sys.exit(main())
