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
       real_windows.py --list
       real_windows.py --pester
       real_windows.py --token
       real_windows.py --self-test
KIT holds the runtime-free test tools (Marker.dll, LoadLibraries.exe,
DoNothing.exe, ConsoleKey.exe, RunMarker.exe) and, unless --exe names another,
Pacecap.exe; the release's PacecapKeep.exe; and the release's Windows
Installer package for the same processor in two versions
(Pacecap-VERSION-ARCH.msi). --emulated adds to
the cold-start figures the x64 X64_EXE, run under emulation on an ARM64
machine. --summary appends the cold-start figures
to FILE (the job summary). --pester runs the PowerShell suite under Windows
PowerShell 5.1 and under the pinned pwsh (started as dotnet with its
pwsh.dll, one process that the time limit stops), both restored from NuGet
beforehand. --token shows whether this process's token is elevated, and at
what integrity level. --self-test runs the checks of this script's own logic
that need no Windows. --list prints the name of every check, read from the
code, sorted; a part known only on the machine is shown as <its expression>.

A Windows run first checks that its token is an elevated administrator's and
stops with one line where it is not. What each group of checks needs from the
machine, and what it does where that is missing, is in GROUPS below, and is
printed at the start of a run.
"""
import shutil
import sys
import tempfile
from pathlib import Path

# Its modules are beside it: on the path also where Python leaves the
# script's own folder off (-P, PYTHONSAFEPATH).
sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import check, results, run_group, summary_line  # noqa: E402 (each import below needs the path)
from access_rules import Layout, protected_folder
from check_names import check_names
from cold_start import cold_start
from console_cases import close_prompt_cases
from installer_steps import installer_cases
from keeping_task_cases import keeping_task_cases, manifest_cases
from pester_host import pester_cases
from power_scheme import class_one_kept
from power_scheme_cases import planted_library_cases, power_scheme_cases
from processor_cases import machine_cases
from rollout_cases import (
    layout_cases, machine_path_cases, path_form_cases, planted_junction_cases, refusal_cases, rollout_cases,
    system_cases, unzip_route_cases)
from self_test import self_test
from windows_api import Machine, elevation_problem, integrity_name, machine_text, read_machine, token_elevation


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
    ("roll-out scripts", "%ProgramFiles% and Windows PowerShell 5.1, 64-bit and 32-bit (SysWOW64)", "fails"),
    ("folders", "NTFS access rules and owners under %ProgramFiles%", "fails"),
    ("machine PATH", "32-bit Windows PowerShell (SysWOW64), the Task Scheduler to run as SYSTEM, and no "
     "%ProgramFiles%\\Pacecap", "skips (5) where %ProgramFiles%\\Pacecap\\Pacecap.exe is there: elevated, the scripts use that one"),
    ("as SYSTEM", "the Task Scheduler to run as SYSTEM", "fails"),
    ("refusals as SYSTEM", "a local account that can be made and deleted (New-LocalUser)", "fails"),
    ("path forms", "Windows PowerShell 5.1, the Task Scheduler to run as SYSTEM, and subst", "fails"),
    ("a planted junction", "no %ProgramFiles%\\Pacecap and no Pacecap task yet, and mklink /J", "skips (1) where "
     "either is there already"),
    ("the unzip route", "the installing guide's icacls commands", "fails"),
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
        self_test(GROUPS, group_runs)
    elif args == ["--list"]:
        # Every module of the script, so that the list follows the code wherever it is.
        sources = [path.read_text(encoding="utf-8") for path in sorted(Path(__file__).parent.glob("*.py"))]
        print("\n".join(check_names(sources)))
        return 0
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
