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
Pacecap.exe, and the release's Windows Installer package for the same
processor in two versions (Pacecap-VERSION-ARCH.msi). --emulated adds to
the cold-start figures the x64 X64_EXE, run under emulation on an ARM64
machine. --summary appends the cold-start figures
to FILE (the job summary). --pester runs the PowerShell suite under Windows
PowerShell 5.1 and under the pinned pwsh (started as dotnet with its
pwsh.dll: the tool's pwsh shim is x64 only), both restored from NuGet
beforehand. --token shows whether this process's token is elevated, and at
what integrity level. --self-test runs the checks of this script's own logic
that need no Windows. --list prints the name of every check, read from the
code, sorted; a part known only on the machine is shown as <its expression>.

A Windows run first checks that its token is an elevated administrator's and
stops with one line where it is not. What each group of checks needs from the
machine, and what it does where that is missing, is in GROUPS below, and is
printed at the start of a run.
"""
import ast
import contextlib
import json
import re
import shutil
import sys
import tempfile
from pathlib import Path

# Its modules are beside it: on the path also where Python leaves the
# script's own folder off (-P, PYTHONSAFEPATH).
sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import ROOT, Ran, check, results, run_group, summary_line  # noqa: E402 (each import below needs the path)
from e2e import values  # after harness, which puts tests/wine on the path: the Wine suite's expected bytes
from access_rules import (
    ADMINISTRATORS_SID, Layout, REFUSALS, make_case, parse_security, protected_folder, untrusted_writes)
from cold_start import cold_start, start_problem
from console_cases import PROMPT, awaited, close_prompt_cases
from installer_package import (
    INSTALLED, kit_packages, log_errors, msiexec_outcome, parse_package, read_log, refusal_message, refused_outcome)
from installer_steps import (
    INSTALLER_STEPS, expected_state, installer_cases, path_entries, same_folder, state_problems, task_values)
from keeping_task_cases import foreign_events, keeping_task_cases, manifest_cases, resume_verdict
from machine_path import REG_EXPAND_SZ, REG_SZ, machine_path_restored, path_with
from pester_host import pester_cases, pester_folder, pester_hosts, pwsh_starts, suite_counts
from power_scheme import class_one_kept, class_one_verdict, parse_powercfg, scheme_restored, value_lines
from power_scheme_cases import planted_library_cases, power_scheme_cases
from processor_cases import machine_cases, pe_machine
from rollout_cases import (
    layout_cases, machine_path_cases, path_form_cases, planted_junction_cases, refusal_cases, refused, rollout_cases,
    system_cases, unzip_fix, unzip_route_cases)
from tasks_and_events import (
    SCHEME_PROVIDER, TIME_LIMIT, action_problems, by_powercfg, is_system, parse_events, parse_provider_events,
    parse_task_state, subscription_terms, task_definition)
from windows_api import (
    AOAC_AT, BATTERIES_AT, CPU_SET_EFFICIENCY_AT, Machine, POWER_CAPABILITIES_SIZE, efficiency_classes,
    elevation_problem, integrity_name, machine_text, power_capabilities, read_machine, token_elevation)


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


def self_test(groups, group_runs):
    """The script's own logic, on recorded or hand-made samples; groups and
    group_runs are the Windows run's table of groups and their runs."""
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
    decision_rows(groups, group_runs)
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


def decision_rows(groups, group_runs):
    """The Windows run's decisions on hand-made data: the token, the
    machine, what each check needs (groups, run by group_runs), and the
    job's use of pwsh."""
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

    names = [name for name, needs, without in groups if needs and without]
    runs = group_runs("x.exe", Path("kit"), Path("work"), None, None, bare)
    check("each group of the Windows run names what it needs and what it does without it, once",
          len(names) == len(groups) == len(set(names)) and names == [name for part in runs for name in part],
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
    flagged = pwsh_starts(bad_workflow, {"real_windows.py": bad_script})
    real = pwsh_starts((ROOT / ".github" / "workflows" / "ci.yml").read_text(),
                       {path.name: path.read_text() for path in sorted(Path(__file__).parent.glob("*.py"))})
    check("nothing starts pwsh by name in the Windows jobs or this script; each way of doing so is found",
          real == [] and [where.split(" (")[0] for where, _ in flagged] == [
              "a step 1", "a step 1", "b step 1", "b step 2", "real_windows.py line 1", "real_windows.py line 2"],
          (real, flagged))


# --- The names of the checks ------------------------------------------------

# A %-format field: a mapping key, flags, width, precision, conversion.
FORMAT_FIELD = re.compile(r"%(\([^)]*\))?[-#0 +]*(\*|\d+)?(\.(\*|\d+))?[diouxXeEfFgGcrsa%]")


def check_names(sources):
    """The names that check() and skip() are given anywhere in sources (a
    module's text each), read from the code, not run: a part that is only
    known on the machine is shown as <its expression>. A name held in a
    variable is followed to what is assigned to it in the same function, to
    the element of a tuple that the called function returns, or, for a
    function passed in, to the lambda that a caller passes."""
    trees = [ast.parse(text) for text in sources]
    functions = {}
    enclosing = {}

    def index(node, function):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)):
                functions.setdefault(child.name, child)
                index(child, child)
            else:
                enclosing[child] = function
                index(child, function)
    for tree in trees:
        index(tree, None)

    def fields(template, arguments):
        parts = iter(arguments)

        def field(match):
            if match.group(0) == "%%":
                return "%"
            part = next(parts, None)
            return "<%s>" % (ast.unparse(part) if part is not None else "...")
        return FORMAT_FIELD.sub(field, template)

    def shown(node, function, seen=()):
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            return [node.value]
        if isinstance(node, ast.JoinedStr):
            return ["".join(part.value if isinstance(part, ast.Constant) else "<%s>" % ast.unparse(part.value)
                            for part in node.values)]
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Add):
            return [a + b for a in shown(node.left, function, seen) for b in shown(node.right, function, seen)]
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Mod):
            arguments = node.right.elts if isinstance(node.right, ast.Tuple) else [node.right]
            return [fields(template, arguments) for template in shown(node.left, function, seen)]
        if isinstance(node, ast.IfExp):
            return shown(node.body, function, seen) + shown(node.orelse, function, seen)
        if isinstance(node, ast.Name) and function is not None and (function, node.id) not in seen:
            found = assigned(node.id, function, seen + ((function, node.id),))
            if found:
                return found
        if (isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and function is not None
                and node.func.id in [argument.arg for argument in function.args.args]):
            found = passed_in(function, [argument.arg for argument in function.args.args].index(node.func.id), seen)
            if found:
                return found
        return ["<%s>" % ast.unparse(node)]

    def assigned(name, function, seen):
        found = []
        for node in ast.walk(function):
            if not isinstance(node, ast.Assign) or enclosing.get(node) is not function:
                continue
            for target in node.targets:
                if isinstance(target, ast.Name) and target.id == name:
                    found += shown(node.value, function, seen)
                elif isinstance(target, ast.Tuple) and name in [getattr(item, "id", None) for item in target.elts]:
                    at = [getattr(item, "id", None) for item in target.elts].index(name)
                    if isinstance(node.value, ast.Tuple):
                        found += shown(node.value.elts[at], function, seen)
                    elif (isinstance(node.value, ast.Call) and isinstance(node.value.func, ast.Name)
                          and node.value.func.id in functions):
                        called = functions[node.value.func.id]
                        for returned in ast.walk(called):
                            if isinstance(returned, ast.Return) and isinstance(returned.value, ast.Tuple):
                                found += shown(returned.value.elts[at], called, seen)
        return found

    def passed_in(function, at, seen):
        found = []
        for tree in trees:
            for node in ast.walk(tree):
                if (isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == function.name
                        and len(node.args) > at and isinstance(node.args[at], ast.Lambda)):
                    found += shown(node.args[at].body, enclosing.get(node), seen)
        return found

    names = set()
    for tree in trees:
        for node in ast.walk(tree):
            if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id in ("check", "skip"):
                names.update(shown(node.args[0 if node.func.id == "check" else 1], enclosing.get(node)))
    return sorted(names)


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
