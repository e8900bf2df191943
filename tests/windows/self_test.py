"""The self-test: the job's own logic on recorded or hand-made samples, with
no Windows."""
import contextlib
import json
import subprocess
import tempfile
from pathlib import Path

from harness import ROOT, Ran, check, summary_line
from testlib.expected import values  # after harness, which puts the repository's root on the path
from access_rules import ADMINISTRATORS_SID, REFUSALS, make_case, parse_security, untrusted_writes
from cold_start import start_problem
from console_cases import PROMPT, awaited
from installer_package import (
    BUSY_WAIT_SECONDS, INSTALLED, kit_packages, log_errors, msiexec, msiexec_outcome, parse_package, read_log, refusal_message, refused_outcome)
from installer_steps import INSTALLER_STEPS, expected_state, path_entries, same_folder, state_problems, task_values
from keeping_task_cases import foreign_events, resume_verdict
from machine_path import REG_EXPAND_SZ, REG_SZ, machine_path_restored, path_with
from pester_host import pester_folder, pester_hosts, pwsh_starts, suite_counts
from power_scheme import class_one_verdict, parse_powercfg, scheme_restored, value_lines
from processor_cases import pe_machine
from rollout_cases import refused, unzip_fix
from samples import SAMPLE_EVENTS, SAMPLE_LOG, SAMPLE_SUBSCRIPTION, SAMPLE_TASK, pe_sample
from tasks_and_events import (
    SCHEME_PROVIDER, TIME_LIMIT, action_problems, by_powercfg, is_system, parse_events, parse_provider_events,
    parse_task_state, subscription_terms, task_definition)
from windows_api import (
    AOAC_AT, BATTERIES_AT, CPU_SET_EFFICIENCY_AT, Machine, POWER_CAPABILITIES_SIZE, efficiency_classes,
    elevation_problem, machine_text, power_capabilities)


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
    now, pauses, codes = [0], [], []

    def fake_run(command, **_):
        return subprocess.CompletedProcess(command, codes.pop(0))

    def fake_pause(seconds):
        pauses.append(seconds)
        now[0] += seconds
    codes[:] = [1618, 1618, 0]
    waited = msiexec(["/i", "x.msi"], Path("no.log"), run=fake_run, pause=fake_pause, clock=lambda: now[0])
    waited_pauses, now[0], codes[:] = list(pauses), 0, [1618] * 100
    pauses.clear()
    busy = msiexec(["/i", "x.msi"], Path("no.log"), run=fake_run, pause=fake_pause, clock=lambda: now[0])
    check("msiexec runs again after a pause while another install is in progress (1618), and gives up with 1618 "
          "once the wait's bound has passed", waited == (0, "") and waited_pauses == [15, 15] and
          busy[0] == 1618 and sum(pauses) <= BUSY_WAIT_SECONDS, (waited, waited_pauses, busy, sum(pauses)))
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
    # The task as the package fills in its one definition.
    definition = task_definition((ROOT / "deploy" / "shared" / "PacecapTask.xml").read_text().replace(
        "{KEEPER}", "%ProgramFiles%\\Pacecap\\PacecapKeep.exe").replace("{PLUGGEDIN}", "96").replace(
        "{ONBATTERY}", "0"))
    values_found = [task_values(dict(definition, **change), env, "C:\\Program Files\\" + folder)
                    for change, folder in (({}, "Pacecap"), ({}, "Other"), ({"user": "S-1-5-21-1-2-3-1001"}, "Pacecap"),
                                           ({"arguments": "96"}, "Pacecap"))]
    check("reads the task's values where it runs the keeper in the folder as SYSTEM, else names what is not",
          values_found[0] == (96, 0) and [len(found) for found in values_found[1:]] == [1, 1, 1], values_found)
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
    check("reads a task's triggers, action, user, run level and time limit",
          definition["triggers"][0] == ("LogonTrigger", None, None) and definition["triggers"][1][2] == "PT10S"
          and is_system(definition["user"]) and definition["run_level"] == "HighestAvailable"
          and definition["time_limit"] == TIME_LIMIT and subscription_terms(definition["triggers"][1][1])["ids"] == {1},
          definition)
    env = {"SYSTEMROOT": "C:\\Windows", "PROGRAMFILES": "C:\\Program Files"}
    keeper = "C:\\Program Files\\Pacecap\\PacecapKeep.exe"
    # Each flaw named: another program and its arguments (two), another keeper, the values swapped, no quotes.
    flaws = [action_problems("powershell.exe", "-File k.ps1 96 82", env, keeper, 96, 82),
             action_problems(definition["command"], "96 82", env, keeper.replace("Pacecap\\", "Pacecap\\Task\\"), 96, 82),
             action_problems(definition["command"], "82 96", env, keeper, 96, 82),
             action_problems(definition["command"].strip('"'), "96 82", env, keeper, 96, 82)]
    check("the action is accepted as written, and each flaw of another is named",
          action_problems(definition["command"], definition["arguments"], env, keeper, 96, 82) == []
          and [len(found) for found in flaws] == [2, 1, 1, 1], flaws)
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
    declared = parse_provider_events("107\tSystem\tThe system has resumed from sleep.\t\n"
                                     "12\tSystem\tProcess %1 reset policy scheme.\tProcessPath,ProcessPid")
    check("reads declared events and the names of their data", declared
          == {107: [("System", "The system has resumed from sleep.", ())],
              12: [("System", "Process %1 reset policy scheme.", ("ProcessPath", "ProcessPid"))]}, declared)
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
    steps = unzip_fix((ROOT / "docs" / "installing.md").read_text(encoding="utf-8"))
    check("finds the installing guide's two icacls commands for an unzipped folder: owner Administrators, then a reset",
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
