"""The Windows Installer package's steps, each checked against what Windows
then holds."""
import collections
import ntpath
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

from harness import RUN_TIMEOUT, Run, check, first_line, powershell, ps_quote, skip
from testlib.expected import values  # after harness, which puts the repository's root on the path
from access_rules import (
    ADMINISTRATORS_SID, TRUSTED_SIDS, icacls, protected_folder, removed, security, untrusted_writes)
from installer_package import (
    ERROR_UNKNOWN_PRODUCT, INSTALLED, kit_packages, log_errors, msiexec, msiexec_outcome, read_package,
    refusal_message, refused_outcome, related_products)
from machine_path import machine_path_restored, read_machine_path
from power_scheme import read_scheme, scheme_restored, write_scheme
from tasks_and_events import (
    TASK, is_system, register_system_task, run_as_system, same_path, split_arguments, start_and_wait,
    task_definition, task_state, unregister, wait_until_idle)
from windows_api import native_machine


# The steps, in order, each from the state the one before leaves. A row: what
# it shows; msiexec's arguments, "older" and "newer" standing for the kit's
# two packages for this processor; None where it must succeed, else the
# property that the package's own refusal tests (NEWER_FOUND: the one that a
# detect-only row of its Upgrade table sets); the package installed
# afterwards (None: none, and nothing of one left); the task's values
# afterwards (None: no task); the further checks then; and whether the job
# registers a task of the package's name itself first (FOREIGN_ARGUMENTS).
# The values live in the task: given, they register it again, a value left
# out as 0 (the keeper leaves it as it is); not given, the task stays as it
# is. Uninstall removes the task named Pacecap whoever registered it, as
# Register-PacecapTask.ps1 -Remove would: one name, one task, and none left.
Step = collections.namedtuple("Step", "what arguments refused installed task checks foreign", defaults=(False,))
NEWER_FOUND = "a newer version found"
# A task of the package's name that the job registers, not the package.
# Never started; known by its arguments.
FOREIGN_ARGUMENTS = "/d /c rem registered by the Pacecap job, not by the package"

INSTALLER_STEPS = [
    Step("a silent install, without values: no task", ["/i", "older"], None, "older", None,
         ("files", "trust", "path")),
    Step("PLUGGEDIN=99 ONBATTERY=80 over that install registers the task",
         ["/i", "older", "PLUGGEDIN=99", "ONBATTERY=80"], None, "older", (99, 80), ("task run",)),
    Step("an upgrade, with no values: the task stays", ["/i", "newer"], None, "newer", (99, 80), ("trust", "path")),
    Step("a downgrade is refused", ["/i", "older"], NEWER_FOUND, "newer", (99, 80), ()),
    Step("a repair, with no values: the task stays", ["/i", "newer", "REINSTALL=ALL", "REINSTALLMODE=omus"], None,
         "newer", (99, 80), ()),
    Step("PLUGGEDIN=99 alone registers the task again, 0 on battery", ["/i", "newer", "PLUGGEDIN=99"], None, "newer",
         (99, 0), ()),
    Step("an uninstall removes a task of that name that the job registered", ["/x", "newer"], None, None, None, (),
         True),
    Step("an install with PLUGGEDIN=101 is refused", ["/i", "older", "PLUGGEDIN=101", "ONBATTERY=80"], "PLUGGEDIN",
         None, None, ()),
    Step("an install with ONBATTERY=80 alone: 0 plugged in", ["/i", "older", "ONBATTERY=80"], None, "older", (0, 80),
         ()),
    Step("an uninstall removes the task", ["/x", "older"], None, None, None, ()),
]
# How many checks each further check of a row makes.
FURTHER_CHECKS = {"files": 1, "trust": 2, "path": 1, "task run": 1}


def installer_check_count():
    """The checks that installer_cases makes: the packages', two a step and
    its further ones, and at the end that nothing is left, that the job's
    folder is removed, and that PATH and the scheme are back."""
    return 1 + sum(2 + sum(FURTHER_CHECKS[name] for name in step.checks) for step in INSTALLER_STEPS) + 4


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
    as the package registers it in folder: the keeper, two values, SYSTEM;
    else what is not."""
    command = re.sub(r"%([^%]+)%", lambda match: env.get(match.group(1).upper(), match.group(0)),
                     definition["command"])
    keeper = ntpath.join(str(folder), "PacecapKeep.exe")
    tokens = split_arguments(definition["arguments"])
    problems = [] if same_path(command.strip('"'), keeper) else ["command %r is not %s" % (definition["command"], keeper)]
    if len(tokens) != 2 or not all(token.isdigit() for token in tokens):
        problems.append("arguments %r are not two values" % definition["arguments"])
    if not is_system(definition["user"]):
        problems.append("it runs as %r, not SYSTEM" % definition["user"])
    return problems or tuple(int(token) for token in tokens)


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
        return "no product, file, folder, task or PATH entry of it; the rest of PATH as it was"
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
        # In the root folder, where the package and Register-PacecapTask.ps1 put it.
        exported = powershell("Export-ScheduledTask -TaskName %s -TaskPath '\\'" % ps_quote(TASK))
        task = (["the task could not be exported: %s" % exported.err] if exported.code != 0
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
                if step.foreign:
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
                # What makes each further check a row may name.
                further = {"files": lambda: check(
                               "%d. the installed Pacecap.exe and PacecapKeep.exe are the kit's, byte for byte"
                               % number,
                               all((folder / name).read_bytes() == (kit / name).read_bytes()
                                   for name in ("Pacecap.exe", "PacecapKeep.exe"))),
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
