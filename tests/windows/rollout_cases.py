"""The roll-out scripts' cases, in the job's elevated session and as SYSTEM,
in the job's protected folder."""
import os
import re
import secrets
import shutil
import subprocess
from pathlib import Path

from harness import ROOT, RUN_TIMEOUT, check, first_line, powershell, ps_quote, run_script, skip
from access_rules import (
    ADMINISTRATORS_SID, REFUSALS, SYSTEM_SID, USERS_SID, icacls, local_account, make_case, removed, security,
    untrusted_writes)
from machine_path import REG_EXPAND_SZ, REG_SZ, machine_path_restored, path_with, write_machine_path
from power_scheme import read_scheme, scheme_restored, write_scheme
from tasks_and_events import (
    CHECK_TASK, TASK, register_system_task, run_as_system, start_and_wait, task_state, unregister)


def refused(ran, exe):
    """Whether a roll-out script refused exe as it must: exit 4, a first line
    that starts with "Refused " and names the file, and the folder to use
    instead, C:\\Program Files\\Pacecap, named (not a folder that merely
    starts so)."""
    line = first_line(ran.out)
    return (ran.code == 4 and line.startswith("Refused ") and str(exe).lower() in line.lower()
            and re.search(r"Program Files\\Pacecap(?![\w-])", ran.out, re.IGNORECASE) is not None)


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
    system_folder_cases()


def system_folder_cases():
    """With ProgramFiles, SystemRoot and windir set to the user's temporary
    folder, in 64-bit and in 32-bit Windows PowerShell, the roll-out scripts
    take the 64-bit Program Files (the known folder of a 64-bit process) and
    the system folder from Windows, and 32-bit PowerShell runs again in a
    Sysnative powershell.exe that exists. A read in the process's own
    registry view would give 32-bit PowerShell the x86 folder."""
    shared = ps_quote(ROOT / "deploy" / "shared" / "PacecapShared.ps1")
    program_files, system = powershell(
        "[Environment]::GetFolderPath('ProgramFiles'); [Environment]::SystemDirectory").out.splitlines()
    windows = system.rsplit("\\", 1)[0]
    for bits, exe, again in (("64", "powershell", "[]"),
                             ("32", windows + r"\SysWOW64\WindowsPowerShell\v1.0\powershell.exe",
                              "[%s\\Sysnative\\WindowsPowerShell\\v1.0\\powershell.exe] True" % windows)):
        ran = powershell(". %s\n$env:ProgramFiles = $env:SystemRoot = $env:windir = [IO.Path]::GetTempPath()\n"
                         "Get-SystemFolder 'ProgramFiles'\nGet-SystemFolder 'System'\n"
                         "$system = Get-SystemFolder 'System'\n"
                         "$again = Get-Relaunch (Read-Wow64 $system) ([Environment]::Is64BitProcess) 'Desktop' $system $false\n"
                         "\"[$again] $(if ($again) { Test-Path -LiteralPath $again -PathType Leaf })\"" % shared, exe=exe)
        check("%s-bit Windows PowerShell: Program Files, the system folder and the relaunch from Windows, not the "
              "environment" % bits, ran.code == 0 and ran.out.splitlines() == [program_files, system, again], ran)


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
        # As the installing guide hands an unzipped folder to Administrators, so that
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
    """The installing guide's icacls commands for an unzipped installation, each as
    icacls' arguments after the folder, in order."""
    return [command.split() for command in re.findall(r'`icacls "C:\\Program Files\\Pacecap" (/[^`]+)`', readme)]


def unzip_route_cases(layout):
    """An unzipped copy under %ProgramFiles% that belongs to the account that
    unzipped it, as where new items get their creator as owner (Program Files'
    CREATOR OWNER entry then gives that account full control), is refused as
    SYSTEM; after the installing guide's icacls commands it is accepted and started."""
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
        steps = unzip_fix((ROOT / "docs" / "installing.md").read_text(encoding="utf-8"))
        for step in steps:
            icacls(folder, *step)
        shape = [security(item) for item in (folder, exe)]
        check("the installing guide's %d icacls commands hand it to Administrators, and no rule names the account" % len(steps),
              len(steps) == 2 and all(owner == ADMINISTRATORS_SID and not untrusted_writes(rules)
                                      and not any(rule.sid == me for rule in rules) for owner, rules in shape),
              (steps, shape))
        ran = run_as_system(layout.runs / "unzipped-fixed", layout.scripts / "Detect-Pacecap.ps1", "-Pacecap", exe)
        check("as SYSTEM, the same copy is then accepted and started",
              layout.ran(folder).exists() and not first_line(ran.out).startswith("Refused") and ran.code != 4, ran)
    finally:
        check("the unzipped copy %s is removed" % folder, removed(folder))
