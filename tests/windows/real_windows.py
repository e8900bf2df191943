#!/usr/bin/env python3
"""Pacecap.exe on real Windows: the real power scheme, the real loader's
search order, a real console, the roll-out scripts and cold start. It changes
the maximum processor state of the active scheme and puts the original values
back at the end, also when a check fails. Ends with "N passed, M failed".

Usage: real_windows.py KIT [--exe PACECAP_EXE] [--summary FILE]
       real_windows.py --self-test
KIT holds the runtime-free test tools (Marker.dll, LoadLibraries.exe,
DoNothing.exe, ConsoleKey.exe) and, unless --exe names another, Pacecap.exe.
--summary appends the cold-start figures to FILE (the job summary).
--self-test runs the checks of this script's own logic that need no Windows.
"""
import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(ROOT / "tests" / "wine"))
sys.path.insert(0, str(ROOT / "scripts"))
from benchmark import paired_ratio  # noqa: E402 (the benchmark's method, run natively)
from e2e import INVALID, USAGE, set_lines, values  # noqa: E402 (the same expected bytes as under Wine)

POWERCFG_QUERY = ["powercfg", "/query", "SCHEME_CURRENT", "SUB_PROCESSOR", "PROCTHROTTLEMAX"]
PROMPT = "Press any key to close"
RUN_TIMEOUT = 30

results = {"passed": 0, "failed": 0}


def check(name, condition, detail=""):
    results["passed" if condition else "failed"] += 1
    print("%s  %s%s" % ("ok  " if condition else "FAIL", name, "" if condition else ": %s" % (detail,)))


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


def powershell(command, exe="powershell", timeout=120):
    done = subprocess.run([exe, "-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-Command", command],
                          capture_output=True, text=True, timeout=timeout)
    return done.returncode, (done.stdout + done.stderr).strip()


def write_scheme(plugged_in, on_battery):
    for which, value in (("/setacvalueindex", plugged_in), ("/setdcvalueindex", on_battery)):
        subprocess.run(["powercfg", which, "SCHEME_CURRENT", "SUB_PROCESSOR", "PROCTHROTTLEMAX", str(value)],
                       check=True, capture_output=True, timeout=RUN_TIMEOUT)
    subprocess.run(["powercfg", "/setactive", "SCHEME_CURRENT"], check=True, capture_output=True,
                   timeout=RUN_TIMEOUT)


@contextlib.contextmanager
def scheme_restored(read=read_scheme, write=write_scheme):
    """Yields the values as found and writes them back afterwards, whatever
    happened in between; checks that they are back."""
    original = read()
    try:
        yield original
    finally:
        write(*original)
        now = read()
        check("the original values %r are back" % (original,), now == original, now)


class Run:
    def __init__(self, argv, cwd=None, env=None):
        done = subprocess.run(argv, capture_output=True, timeout=RUN_TIMEOUT, cwd=cwd, env=env)
        self.out, self.code = done.stdout, done.returncode & 0xFFFFFFFF

    def __repr__(self):
        return "exit code 0x%08X, output %r" % (self.code, self.out)


def power_scheme_cases(exe):
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
        check("one kind of core: the class-1 setting (%r; None: the runner has none) is unchanged" % (class_one,),
              read_class_one() == class_one, read_class_one())
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


def close_prompt_cases(exe, kit):
    """In a console of its own, Pacecap waits for a key; from a shell, never."""
    console_key = str(kit / "ConsoleKey.exe")
    process = subprocess.Popen([exe, "0"], creationflags=subprocess.CREATE_NEW_CONSOLE)
    try:
        time.sleep(1)
        check("in a new console, Pacecap 0 still runs after a second", process.poll() is None, process.poll())
        screen = subprocess.run([console_key, str(process.pid), "read"], capture_output=True, timeout=RUN_TIMEOUT)
        text = screen.stdout.decode("ascii", "replace")
        check("its console shows the prompt", PROMPT in text, "exit %d, screen %r" % (screen.returncode, text))
        pressed = subprocess.run([console_key, str(process.pid)], capture_output=True, timeout=RUN_TIMEOUT)
        try:
            code = process.wait(timeout=1)
        except subprocess.TimeoutExpired:
            code = None
        check("a key ends it within a second, exit 0", pressed.returncode == 0 and code == 0,
              "ConsoleKey exit %d, Pacecap exit %r" % (pressed.returncode, code))
    finally:
        if process.poll() is None:
            process.kill()
    started = time.monotonic()
    inherited = subprocess.run([exe, "0"], timeout=RUN_TIMEOUT)
    check("from the job's own shell it never waits",
          inherited.returncode == 0 and time.monotonic() - started < 1, time.monotonic() - started)
    hidden = subprocess.STARTUPINFO(dwFlags=subprocess.STARTF_USESHOWWINDOW, wShowWindow=0)  # SW_HIDE
    started = time.monotonic()
    process = subprocess.Popen([exe, "0"], creationflags=subprocess.CREATE_NEW_CONSOLE, startupinfo=hidden)
    try:
        code = process.wait(timeout=2)
    except subprocess.TimeoutExpired:
        code = None
        process.kill()
    check("in a new console started hidden it never waits: exit 0 within 2 s", code == 0,
          "exit %r after %.1f s" % (code, time.monotonic() - started))


def rollout_cases(exe):
    """The detection and remediation pair, for real: not compliant,
    remediate, compliant."""
    def script(name, *args):
        argv = ["powershell", "-NoProfile", "-ExecutionPolicy", "Bypass", "-File",
                str(ROOT / "deploy" / name), "-Pacecap", exe] + list(args)
        done = subprocess.run(argv, capture_output=True, text=True, timeout=60)
        return done.returncode, (done.stdout + done.stderr).strip()

    with scheme_restored():
        write_scheme(100, 100)
        detected = script("Detect-Pacecap.ps1")
        check("detection: 100/100 is not compliant with 99/80 (exit 1)", detected[0] == 1, detected)
        remedied, now = script("Remediate-Pacecap.ps1"), read_scheme()
        check("remediation sets 99/80 and passes exit 0 on", remedied[0] == 0 and now == (99, 80), (remedied, now))
        detected = script("Detect-Pacecap.ps1")
        check("detection: now compliant (exit 0)", detected[0] == 0, detected)
        refused = script("Remediate-Pacecap.ps1", "-PluggedIn", "101")
        check("remediation passes Pacecap's exit code on: 101 gives 1", refused[0] == 1, refused)


def wait_for_task(name, timeout=30):
    """The task's last result once it has run (0x41301: running, 0x41303: not yet)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        code, out = powershell("(Get-ScheduledTaskInfo -TaskName %s).LastTaskResult" % name)
        if code == 0 and out.strip() not in ("267009", "267011"):
            return out.strip()
        time.sleep(1)
    return None


def last_run(name):
    return powershell("(Get-ScheduledTaskInfo -TaskName %s).LastRunTime.Ticks" % name)[1]


def unattended_cases(exe, work):
    """A task run as SYSTEM, the roll-out scripts in 32-bit PowerShell with
    Pacecap only on the machine's PATH, and the task that keeps the limits."""
    with scheme_restored():
        powershell("Unregister-ScheduledTask -TaskName PacecapCheck -Confirm:$false -ErrorAction SilentlyContinue")
        code, out = powershell(
            "Register-ScheduledTask -TaskName PacecapCheck -Action (New-ScheduledTaskAction -Execute '%s' "
            "-Argument '97 81') -Principal (New-ScheduledTaskPrincipal -UserId 'S-1-5-18' -LogonType ServiceAccount) "
            "| Out-Null; Start-ScheduledTask -TaskName PacecapCheck" % exe)
        result = wait_for_task("PacecapCheck") if code == 0 else out
        now = read_scheme()
        powershell("Unregister-ScheduledTask -TaskName PacecapCheck -Confirm:$false")
        check("Pacecap run directly by a task as SYSTEM: last result 0, values 97 and 81",
              result == "0" and now == (97, 81), (result, now))

    folder = work / "on-machine-path"
    folder.mkdir()
    shutil.copy(exe, folder / "Pacecap.exe")
    machine_path = "[Environment]::GetEnvironmentVariable('Path', 'Machine')"
    _, original_path = powershell(machine_path)
    powershell("[Environment]::SetEnvironmentVariable('Path', %s + ';%s', 'Machine')" % (machine_path, folder))
    try:
        x86 = os.path.join(os.environ["SystemRoot"], "SysWOW64", "WindowsPowerShell", "v1.0", "powershell.exe")
        detect = str(ROOT / "deploy" / "Detect-Pacecap.ps1")
        with scheme_restored():
            write_scheme(99, 80)
            code, out = powershell("& '%s'; exit $LASTEXITCODE" % detect, exe=x86)
            check("32-bit detection finds Pacecap on the machine's PATH alone: compliant, exit 0",
                  code == 0 and out.startswith("Compliant"), (code, out))
            code, out = powershell("& '%s' -ConfigMgr -PluggedIn 98; exit $LASTEXITCODE" % detect, exe=x86)
            check("-ConfigMgr: NonCompliant, exit 0", (code, out) == (0, "NonCompliant"), (code, out))
            code, out = powershell("& '%s' -ConfigMgr; exit $LASTEXITCODE" % detect, exe=x86)
            check("-ConfigMgr: Compliant, exit 0", (code, out) == (0, "Compliant"), (code, out))
    finally:
        powershell("[Environment]::SetEnvironmentVariable('Path', '%s', 'Machine')" % original_path.replace("'", "''"))

    register = str(ROOT / "deploy" / "Register-PacecapTask.ps1")
    with scheme_restored():
        code, out = powershell("& '%s' -PluggedIn 96 -OnBattery 82 -Pacecap '%s'; exit $LASTEXITCODE" % (register, exe))
        _, triggers = powershell("(Get-ScheduledTask -TaskName Pacecap).Triggers.Count")
        check("Register-PacecapTask: exit 0, three triggers", code == 0 and triggers == "3", (code, out, triggers))
        powershell("Start-ScheduledTask -TaskName Pacecap")
        result, now = wait_for_task("Pacecap"), read_scheme()
        check("the registered task sets 96 and 82", result == "0" and now == (96, 82), (result, now))
        time.sleep(15)  # an event trigger's delay is 10 s
        first = last_run("Pacecap")
        time.sleep(15)
        check("its own scheme change does not start it again", last_run("Pacecap") == first, first)
        code, out = powershell("& '%s' -Remove; exit $LASTEXITCODE" % register)
        _, left = powershell("[bool](Get-ScheduledTask -TaskName Pacecap -ErrorAction SilentlyContinue)")
        check("-Remove: exit 0 and the task is gone", code == 0 and left == "False", (code, out, left))
    _, manifest = powershell("wevtutil gp Microsoft-Windows-UserModePowerService /ge /gm:true | Out-String")
    check("the scheme-change trigger's event is registered (UserModePowerService 12)",
          "reset policy scheme" in manifest, manifest[-300:])


def wall_time(argv):
    started = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, timeout=RUN_TIMEOUT)
    return time.perf_counter() - started


def cold_start(exe, kit, summary, pairs=30):
    lines = ["### Cold start of `Pacecap 0` on real Windows", "",
             "Median over %d paired runs after 3 warm-up pairs, the order alternating." % pairs, "",
             "| against | ratio | Pacecap 0 | other |", "|---|---|---|---|"]
    for label, tool in (("a do-nothing program", "DoNothing.exe"),
                        ("a program that only loads user32, shlwapi and powrprof", "LoadLibraries.exe")):
        ratio, mine, theirs = paired_ratio(wall_time, [exe, "0"], [str(kit / tool)], pairs)
        lines.append("| %s | %.2f | %.1f ms | %.1f ms |" % (label, ratio, mine * 1e3, theirs * 1e3))
    text = "\n".join(lines) + "\n"
    print(text)
    if summary:
        with open(summary, "a", encoding="utf-8") as opened:
            opened.write(text)


def self_test():
    """The script's own logic on a recorded powercfg sample."""
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


def main():
    args = sys.argv[1:]
    if args == ["--self-test"]:
        self_test()
    elif args and not args[0].startswith("-"):
        kit = Path(args[0]).resolve()
        options = dict(zip(args[1::2], args[2::2]))
        exe = str(Path(options.get("--exe", kit / "Pacecap.exe")).resolve())
        work = Path(tempfile.mkdtemp(prefix="pacecap-windows-"))
        try:
            for name, group in (("power scheme", lambda: power_scheme_cases(exe)),
                                ("planted libraries", lambda: planted_library_cases(exe, kit, work)),
                                ("close prompt", lambda: close_prompt_cases(exe, kit)),
                                ("roll-out scripts", lambda: rollout_cases(exe)),
                                ("unattended runs", lambda: unattended_cases(exe, work))):
                try:
                    group()
                except Exception as error:  # the group's remaining checks cannot run
                    check("%s: every check ran" % name, False, repr(error))
            cold_start(exe, kit, options.get("--summary"))
        finally:
            shutil.rmtree(work, ignore_errors=True)
    else:
        sys.exit(__doc__)
    print("%d passed, %d failed" % (results["passed"], results["failed"]))
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
