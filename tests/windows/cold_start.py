"""Cold start: each program must first run as it must, then the paired
timings."""
import subprocess
import time
from pathlib import Path

from harness import RUN_TIMEOUT, Run, check
from testlib.timing import paired_ratio  # after harness, which puts the repository's root on the path
from power_scheme import read_scheme, value_lines
from processor_cases import pe_machine
from windows_api import native_machine


def start_problem(run, lines=()):
    """What is wrong with a run of a program that the cold start times, or
    None: it must end with exit 0 and print each of lines."""
    if run.code != 0:
        return "exit code 0x%08X" % run.code
    missing = [line for line in lines if line not in run.out]
    return "output %r, without %r" % (run.out, missing) if missing else None


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
