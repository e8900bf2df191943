#!/usr/bin/python3
"""The Windows Installer package under Wine, in a fresh prefix, as one table
of steps: refused folders, a leftover folder taken over, PATH, Apps &
Features, repair, refused limits, upgrade, refused downgrade, uninstall, and
the task's action (the real TaskAction.dll) with Wine's own Task Scheduler:
the task registered with both values, with each alone (the other 0), left
as it is without values at install, repair and upgrade, put back when the
install is undone, and removed at uninstall however it was registered, or
not there at all; a Task Scheduler that never answers met by the action's
one bound. Wine keeps only part of a task's definition (its
Description and Settings), so the task is seen by its Description, in the
prefix's C:\windows\system32\tasks\Pacecap, and the rest is checked on
Windows (tests/windows/real_windows.py). A stand-in powershell.exe in System32
(tests/programs/StandInPowerShell.cpp) records any start: no step starts
one. With --arm64, under tools/arm64_wine: the ARM64 package replaces an x64
install of the same version, its exe runs, its action registers the task,
and it uninstalls, removing it; skipped, with the reason, where that Wine
cannot run. Builds the exes of two versions itself, under build/installer.
Ends with "N passed, M failed" (", K skipped").

Usage: test_install.py [--arm64]
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "installer"))
import build_msi  # noqa: E402
from testlib.wine import WINE_DIR, arm64_wine, start, win_path, wine_commands  # noqa: E402

OLD, NEW = "1.0.0.0", "1.0.1.0"  # Windows Installer sees only the first three fields
SCRIPTS = build_msi.SCRIPTS
FOLDER = r"C:\Program Files\Pacecap" + "\\"
KEPT = r"HKLM\SOFTWARE\Pacecap"  # the task as it was, only while an install runs
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
ENVIRONMENT = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
FAILURE = 1603 & 0xFF  # ERROR_INSTALL_FAILURE, as Linux sees an exit code
USAGE = b"Pacecap - sets max CPU percent values in the current power profile"
RECORD = r"C:\standin.log"  # where the stand-in powershell.exe records each start
# The task's Description, as the package fills it in.
DESCRIPTION = "Keeps the maximum processor state at %s %% plugged in and %s %% on battery (0: left as it is)."
# A task of the same name made by hand, from the task's own definition.
BY_HAND = "by hand"
HAND_TIME = 1e9  # the times of a copy placed by hand


def build(arch, version, work, name=None):
    """The exe of version for arch, built into build/installer with the task
    action and the stand-in powershell.exe, and its package (with the
    scripts standing alone) in work/name (the version by default)."""
    folder = ROOT / "build" / "installer" / ("%s-%s" % (arch, version))
    subprocess.run(["bash", "-c", '. "$0/tools/lib.sh" && configure_cross_for "$1" "$2" -DPACECAP_VERSION="$3" '
                    '&& quietly cmake --build "$2" --target Pacecap PacecapKeep TaskAction StandInPowerShell',
                    str(ROOT), arch, str(folder), version], check=True, stdin=subprocess.DEVNULL)
    out = work / (name or version)
    out.mkdir()
    subprocess.run(["/usr/bin/python3", str(ROOT / "release" / "standalone.py"), str(out)] +
                   [str(ROOT / "deploy" / name) for name in SCRIPTS], check=True, capture_output=True)
    return folder / "Pacecap.exe", build_msi.build(arch, folder / "Pacecap.exe", folder / "PacecapKeep.exe",
                                                   folder / "TaskAction.dll", out, out)


class Prefix:
    """A fresh Wine prefix with one persistent server. errors collects the
    standard error of each run."""

    def __init__(self, work, arm64_root=None):
        self.wine, self.server = wine_commands(arm64_root)
        self.work = work
        self.errors = []
        self.drive = work / "prefix" / "drive_c"
        self.env = dict(os.environ, WINEPREFIX=str(work / "prefix"), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="winedbg.exe=d", PACECAP_STANDIN_RECORD=RECORD)
        self.env.pop("DISPLAY", None)
        self.env.pop("PACECAP_STANDIN", None)

    def run(self, *args):
        """Runs a Windows program; its exit code's low byte and its output."""
        done = start(self.wine + list(args), self.work / "out.log", self.work / "err.log", env=self.env,
                     timeout=600, cwd=self.work)
        self.errors.append((self.work / "err.log").read_text(errors="replace"))
        return done.returncode, (self.work / "out.log").read_bytes()

    def start(self, standin):
        """Starts the prefix, with the stand-in as System32's Windows PowerShell."""
        (self.work / "prefix").mkdir()
        subprocess.run(self.server + ["-p"], env=self.env, check=True, timeout=60)
        self.run("wineboot", "-i")
        # A fresh prefix's Task Scheduler service starts only after the
        # server is started again (else error 1055).
        self.stop()
        subprocess.run(self.server + ["-p"], env=self.env, check=True, timeout=60)
        shutil.copy(standin, self.drive / "windows" / "system32" / "WindowsPowerShell" / "v1.0" / "powershell.exe")

    def started(self):
        """The stand-in's command lines since the last call."""
        record = self.drive / "standin.log"
        lines = record.read_text().splitlines() if record.exists() else []
        record.unlink(missing_ok=True)
        return lines

    def processes(self, command):
        """The ids of this prefix's processes (by the WINEPREFIX they inherit)
        whose command line starts with command."""
        found, own = [], ("WINEPREFIX=%s" % self.env["WINEPREFIX"]).encode()
        for process in Path("/proc").glob("[0-9]*"):
            try:
                if ((process / "cmdline").read_bytes().replace(b"\0", b" ").startswith(command.encode()) and
                        own in (process / "environ").read_bytes().split(b"\0")):
                    found.append(int(process.name))
            except OSError:
                pass
        return found

    def stop(self):
        subprocess.run(self.server + ["-k"], env=self.env, timeout=60)

    def msiexec(self, *args):
        """msiexec with a verbose log; its exit code and the log's text."""
        log = self.work / "msiexec.log"
        log.unlink(missing_ok=True)
        code, out = self.run("msiexec", *args, "/qn", "/l*v", win_path(log))
        return code, (log.read_text(errors="replace") if log.exists() else "") + out.decode(errors="replace")

    def query(self, key, *args):
        return self.run("reg", "query", key, *args)[1].decode(errors="replace")

    def path_entries(self):
        line = [line for line in self.query(ENVIRONMENT, "/v", "PATH").splitlines() if "PATH" in line]
        return line[0].split("REG_EXPAND_SZ")[-1].strip().split(";") if line else []

    def products(self):
        """The Apps & Features entries named Pacecap: {key: {name: value}}."""
        entries, key = {}, None
        for line in self.query(UNINSTALL, "/s").splitlines():
            if line.startswith("HKEY_"):
                key = line.rsplit("\\", 1)[-1]
            elif key and line.startswith("    "):
                parts = line.strip().split(None, 2)
                entries.setdefault(key, {})[parts[0]] = parts[2] if len(parts) == 3 else ""
        return {key: values for key, values in entries.items() if values.get("DisplayName") == "Pacecap"}

    def installed(self):
        folder = self.drive / "Program Files" / "Pacecap"
        return {path.name: path.read_bytes() if path.is_file() else None
                for path in folder.iterdir()} if folder.exists() else {}

    def task(self):
        """The Description of the task named Pacecap, "" where it has none,
        None where there is no task."""
        path = self.drive / "windows" / "system32" / "tasks" / "Pacecap"
        if not path.exists():
            return None
        data = path.read_bytes()
        text = data.decode("utf-16") if data[:2] in (b"\xff\xfe", b"\xfe\xff") else data.decode(errors="replace")
        found = re.search(r"<Description>(.*?)</Description>", text, re.S)
        return found[1] if found else ""

    def task_by_hand(self):
        """Registers the task named Pacecap as an administrator would by hand,
        from the task's own definition with a Description of BY_HAND."""
        xml = (ROOT / "deploy" / "shared" / "PacecapTask.xml").read_text()
        xml = re.sub(r"<Description>.*?</Description>", "<Description>%s</Description>" % BY_HAND, xml)
        xml = xml.replace("{KEEPER}", FOLDER + "PacecapKeep.exe").replace("{PLUGGEDIN}", "70").replace(
            "{ONBATTERY}", "60")
        (self.work / "hand.xml").write_text(xml)
        return self.run("schtasks", "/create", "/tn", "Pacecap", "/xml", win_path(self.work / "hand.xml"), "/f")[0]

    def finds_pacecap(self):
        """Whether a new process finds Pacecap through the PATH."""
        return self.run("cmd", "/c", "Pacecap")[1].startswith(USAGE)


def refused_at_launch(code, log):
    """Refused by a launch condition, before anything changes: the install
    never reached InstallInitialize. (Wine logs no launch condition's
    message; the package's tables hold it, and Windows shows it.)"""
    return code == FAILURE and "LaunchConditions" in log and "InstallInitialize" not in log


def steps(prefix, old, new, scripts, original_path):
    """The install table: (what, step), each step returning (passed, detail).
    old is the package changed to stand in for Windows at an upgrade (see
    main)."""
    files = lambda exe: dict({"Pacecap.exe": exe.read_bytes(),  # noqa: E731
                              "PacecapKeep.exe": (exe.parent / "PacecapKeep.exe").read_bytes()}, **scripts)
    old_code = build_msi.product_code(OLD, "x64")
    new_code = build_msi.product_code(NEW, "x64")
    folder = prefix.drive / "Program Files" / "Pacecap"

    def whole(exe, code):
        """exe's version installed whole: its files, one product, PATH once and otherwise as it was."""
        path = prefix.path_entries()
        return (prefix.installed() == files(exe) and list(prefix.products()) == [code] and
                [entry for entry in path if entry] == [entry for entry in original_path if entry] + [FOLDER])

    def gone():
        """Nothing left: no folder, no product, PATH as it was, no task, nothing kept."""
        return (not folder.exists() and not prefix.products() and prefix.task() is None and
                "Pacecap" not in prefix.query(KEPT) and
                [e for e in prefix.path_entries() if e] == [e for e in original_path if e] and not prefix.finds_pacecap())

    def by_hand(extra=()):
        """The folder as left by hand: the old files with the times of a copy, and extra names."""
        folder.mkdir(parents=True)
        for name, data in list(files(old[0]).items()) + [(name, b"") for name in extra]:
            (folder / name).parent.mkdir(exist_ok=True)
            (folder / name).write_bytes(data)
            os.utime(folder / name, (HAND_TIME, HAND_TIME))

    def variant(name, *queries):
        """The new package with changes (SQL queries), in work/name."""
        package = prefix.work / name
        shutil.copy(new[1], package)
        for query in queries:
            subprocess.run(["msibuild", str(package), "-q", query], check=True)
        return win_path(package)

    def other_folder():
        # The same package, told that Program Files is elsewhere.
        package = variant("other.msi", "UPDATE `CustomAction` SET `Target` = 'C:\\Elsewhere\\' "
                          "WHERE `Action` = 'SetProgramFilesPacecap'")
        code, log = prefix.msiexec("/i", package)
        return code == FAILURE and "InstallInitialize" not in log and not prefix.installed(), code

    def other_file():
        # The files placed by hand, with one more: each would keep its owner and rights.
        by_hand(["notes.txt"])
        code, log = prefix.msiexec("/i", win_path(old[1]))
        times = [path.stat().st_mtime for path in folder.iterdir()]
        shutil.rmtree(folder)
        return (refused_at_launch(code, log) and times == [HAND_TIME] * (len(files(old[0])) + 1) and
                not prefix.products()), (code, times)

    def empty_folder():
        folder.mkdir(parents=True)
        code, _ = prefix.msiexec("/i", win_path(old[1]))
        installed = whole(old[0], old_code)
        code2, _ = prefix.msiexec("/x", win_path(old[1]))
        return code == code2 == 0 and installed and gone(), (code, code2, sorted(prefix.installed()))

    def earlier_files():
        # As an earlier Pacecap and Register-PacecapTask.ps1 leave them: the
        # package writes each file anew, and its uninstall takes the Task folder too.
        by_hand(["Task/Remediate-Pacecap.ps1", "Task/PacecapKeep.exe"])
        code, _ = prefix.msiexec("/i", win_path(old[1]))
        times = {path.name: path.stat().st_mtime for path in folder.iterdir() if path.is_file()}
        installed = sorted(prefix.installed()) == sorted(list(files(old[0])) + ["Task"])
        code2, _ = prefix.msiexec("/x", win_path(old[1]))
        return (code == code2 == 0 and installed and sorted(times) == sorted(files(old[0])) and
                HAND_TIME not in times.values() and gone()), (code, code2, times)

    def install():
        code, _ = prefix.msiexec("/i", win_path(old[1]))
        return code == 0 and whole(old[0], old_code) and prefix.task() is None, (code, prefix.task())

    def path():
        return whole(old[0], old_code) and prefix.finds_pacecap(), prefix.path_entries()

    def apps_and_features():
        entry = prefix.products().get(old_code, {})
        icon = prefix.drive / "windows" / "Installer" / old_code / "Pacecap.ico"
        return ((entry.get("DisplayName"), entry.get("Publisher"), entry.get("DisplayVersion"), entry.get("HelpLink"))
                == ("Pacecap", "The Pacecap Project", OLD, "https://pacecap.example") and
                icon.exists() and icon.read_bytes() == (ROOT / "res" / "Pacecap.ico").read_bytes()), entry

    def registered(package, values, description):
        code, log = prefix.msiexec("/i", package, *values)
        steps = [line.split("Pacecap's task: ", 1)[1].split()[0] for line in log.splitlines()
                 if "Pacecap's task: " in line]
        return (code == 0 and prefix.task() == description and "RegisterTask" in steps and
                "Pacecap" not in prefix.query(KEPT)), (code, prefix.task(), steps)

    def repair():
        # The task changed by hand since: a repair without values leaves it so.
        made = prefix.task_by_hand()
        (folder / "Pacecap.exe").unlink()
        code, _ = prefix.msiexec("/i", win_path(old[1]), "REINSTALL=ALL", "REINSTALLMODE=amus")
        return made == 0 and code == 0 and whole(old[0], old_code) and prefix.task() == BY_HAND, (
            made, code, prefix.task())

    def refused_limits():
        outcomes = [(value, prefix.msiexec("/i", win_path(new[1]), value)) for value in
                    ("PLUGGEDIN=101", "PLUGGEDIN=-1", "ONBATTERY=abc", "ONBATTERY=99.5")]
        return (all(refused_at_launch(code, log) for _, (code, log) in outcomes) and whole(old[0], old_code) and
                prefix.task() == BY_HAND), [(value, code) for value, (code, _) in outcomes]

    def upgrade():
        code, _ = prefix.msiexec("/i", win_path(new[1]))
        return code == 0 and whole(new[0], new_code) and prefix.task() == BY_HAND, (
            code, prefix.path_entries(), list(prefix.products()), prefix.task())

    def downgrade():
        code, log = prefix.msiexec("/i", win_path(old[1]))
        return refused_at_launch(code, log) and whole(new[0], new_code), code

    def uninstall():
        code, _ = prefix.msiexec("/x", win_path(new[1]))
        return code == 0 and gone(), (code, prefix.task(), sorted(prefix.installed()))

    def no_task():
        code, _ = prefix.msiexec("/i", win_path(new[1]))
        installed = whole(new[0], new_code) and prefix.task() is None
        code2, log = prefix.msiexec("/x", win_path(new[1]))
        return code == code2 == 0 and installed and "Pacecap's task: GetTask 0x80070002" in log and gone(), (
            code, code2)

    def undone():
        # A failure after the registration: the rollback puts the task back as it was.
        made = prefix.task_by_hand()
        package = variant("failing.msi", "INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) "
                          "VALUES ('Fail', 19, 'a failure planted after the registration')",
                          "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('Fail', 6595)")
        code, _ = prefix.msiexec("/i", package, "PLUGGEDIN=99")
        return (made == 0 and code == FAILURE and prefix.task() == BY_HAND and not prefix.installed() and
                "Pacecap" not in prefix.query(KEPT)), (made, code, prefix.task())

    def refused_data():
        # The same package, its registration given a keeper that XML cannot hold as it stands.
        package = variant("refused.msi", "UPDATE `CustomAction` SET `Target` = "
                          "'C:\\A&B\\PacecapKeep.exe|[PLUGGEDIN]|[ONBATTERY]' WHERE `Action` = 'SetRegisterTask'")
        code, log = prefix.msiexec("/i", package, "PLUGGEDIN=99")
        return (code == FAILURE and "Pacecap's task: refused keeper: & < > ' \"" in log and
                "Pacecap's task: not registered; install undone." in log and
                not prefix.installed() and prefix.task() == BY_HAND), code

    def unanswered():
        # The Task Scheduler's service (in Wine's netsvcs host, started by the
        # task made by hand) stopped dead: the action gives up at its one
        # bound, the install is undone, and its rollback does not wait again.
        hosts = prefix.processes(r"C:\windows\system32\svchost.exe -k netsvcs")
        for host in hosts:
            os.kill(host, signal.SIGSTOP)
        try:
            code, log = prefix.msiexec("/i", win_path(new[1]), "PLUGGEDIN=99")
        finally:
            for host in hosts:
                os.kill(host, signal.SIGCONT)
        return (len(hosts) == 1 and code == FAILURE and "Pacecap's task: no answer in 60 s" in log and
                "Pacecap's task: Task Scheduler still busy" in log and not prefix.installed() and
                prefix.task() == BY_HAND), (hosts, code)

    def by_hand_removed():
        code, _ = prefix.msiexec("/i", win_path(new[1]))
        code2, _ = prefix.msiexec("/x", win_path(new[1]))
        return code == code2 == 0 and gone(), (code, code2, prefix.task())

    def no_powershell():
        return not prefix.started(), prefix.started()

    return [
        ("before the install, a new process does not find Pacecap", lambda: (not prefix.finds_pacecap(), "")),
        ("a folder other than Program Files' own is refused before anything changes", other_folder),
        ("an install over a folder that holds another file is refused before anything changes", other_file),
        ("a silent install without values puts the files, byte for byte, in C:\\Program Files\\Pacecap, and "
         "registers no task", install),
        ("the machine PATH holds the folder once, the rest as it was, and a new process finds Pacecap", path),
        ("Apps & Features: name, publisher, version, help link and icon", apps_and_features),
        ("PLUGGEDIN=99 ONBATTERY=80 over the same version registers the task with both, and keeps nothing",
         lambda: registered(win_path(old[1]), ["PLUGGEDIN=99", "ONBATTERY=80"], DESCRIPTION % (99, 80))),
        ("a repair without values puts back a deleted exe, and leaves the task as it is", repair),
        ("limits outside 0 to 100 are refused before anything changes, and the install and task stay",
         refused_limits),
        ("an upgrade to %s without values leaves one product, one PATH entry, the new exe, and the task as it is"
         % NEW, upgrade),
        ("a downgrade to %s is refused before anything changes, and %s stays whole" % (OLD, NEW), downgrade),
        ("uninstall removes a task made by hand, and leaves no file, no PATH entry, no Apps & Features entry",
         uninstall),
        ("PLUGGEDIN=99 alone registers the task with 99 plugged in and 0 (left as it is) on battery",
         lambda: registered(win_path(new[1]), ["PLUGGEDIN=99"], DESCRIPTION % (99, 0))),
        ("ONBATTERY=80 alone over it registers the task again, with 0 plugged in and 80 on battery",
         lambda: registered(win_path(new[1]), ["ONBATTERY=80"], DESCRIPTION % (0, 80))),
        ("uninstall removes the task the package registered", uninstall),
        ("uninstall where there is no task finds none, which is no error, and leaves nothing", no_task),
        ("a failure after the registration undoes the install and puts back the task as it was", undone),
        ("a registration whose data is refused fails the install, which is rolled back, with what to do",
         refused_data),
        ("a Task Scheduler that never answers fails the install at the one bound of 60 s, and the install is "
         "undone", unanswered),
        ("uninstall removes a task made by hand before the install", by_hand_removed),
        # After the rest: PATH keeps an empty entry from each uninstall, and
        # Wine's cmd then finds no Pacecap through it.
        ("an install over an empty leftover folder installs, and its uninstall leaves nothing", empty_folder),
        ("an install over a folder of only an earlier Pacecap's files, and a Task folder of them, writes each "
         "file anew; its uninstall takes the Task folder too", earlier_files),
        ("no step started PowerShell", no_powershell),
    ]


def arm64_steps(prefix, package, exe, x64_package):
    def x64_first():
        code, _ = prefix.msiexec("/i", win_path(x64_package))
        return code == 0 and list(prefix.products()) == [build_msi.product_code(OLD, "x64")], code

    def install():
        code, _ = prefix.msiexec("/i", win_path(package), "PLUGGEDIN=99")
        return (code == 0 and prefix.installed().get("Pacecap.exe") == exe.read_bytes() and
                list(prefix.products()) == [build_msi.product_code(OLD, "arm64")]), (code, list(prefix.products()))

    def action():
        return prefix.task() == DESCRIPTION % (99, 0), prefix.task()

    def uninstall():
        code, _ = prefix.msiexec("/x", win_path(package))
        return (code == 0 and not prefix.installed() and not prefix.products() and prefix.task() is None and
                not prefix.started()), (code, prefix.task())

    return [("the x64 package installs on ARM64 too", x64_first),
            ("the ARM64 package of the same version, with PLUGGEDIN=99, replaces it, and installs its exe", install),
            ("its ARM64 task action registered the task with 99 plugged in and 0 on battery", action),
            ("the installed ARM64 exe runs, found through the PATH", lambda: (prefix.finds_pacecap(), "")),
            ("the ARM64 package uninstalls, removing the task, and no PowerShell ran", uninstall)]


def main():
    arm64 = sys.argv[1:] == ["--arm64"]
    if sys.argv[1:] not in ([], ["--arm64"]):
        sys.exit(__doc__)
    root, skip = arm64_wine() if arm64 else (None, None)
    if not arm64 and not (WINE_DIR / "wine64").exists():
        skip = "no Wine here (%s)" % (WINE_DIR / "wine64")
    passed = failed = 0
    if skip:
        print("Install under Wine skipped: %s" % skip)
        print("0 passed, 0 failed, %d skipped" % (5 if arm64 else 23))
        return 0
    (ROOT / "build").mkdir(exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="pacecap-install-", dir=ROOT / "build"))
    prefix = Prefix(work, root)
    try:
        if arm64:
            exe, package = build("arm64", OLD, work, "arm64")
            _, x64_package = build("x64", OLD, work, "x64")
            prefix.start(exe.parent / "tests" / "programs" / "StandInPowerShell.exe")
            table = arm64_steps(prefix, package, exe, x64_package)
        else:
            old, new = build("x64", OLD, work), build("x64", NEW, work)
            # Windows runs the old version's uninstall within an upgrade with
            # UPGRADINGPRODUCTCODE set, which keeps the task; Wine's sets
            # nothing. The old package stands in for Windows there: its
            # removal of the task never runs.
            for action in ("ForgetRemoveTask", "UndoRemoveTask", "RemoveTask"):
                subprocess.run(["msibuild", str(old[1]), "-q", "UPDATE `InstallExecuteSequence` SET `Condition` = "
                                "'0' WHERE `Action` = '%s'" % action], check=True)
            scripts = {name: (work / OLD / name).read_bytes() for name in SCRIPTS}
            prefix.start(old[0].parent / "tests" / "programs" / "StandInPowerShell.exe")
            table = steps(prefix, old, new, scripts, prefix.path_entries())
        for what, step in table:
            prefix.errors.clear()
            try:
                ok, detail = step()
            except Exception as error:  # a step that raises fails, and the rest still run
                ok, detail = False, repr(error)
            passed, failed = passed + ok, failed + (not ok)
            print("%s  %s%s" % ("ok  " if ok else "FAIL", what, "" if ok else " %s" % (detail,)))
            for err in [] if ok else [err for err in prefix.errors if err]:
                print("      stderr: %r" % err)
    except Exception as error:
        print("FAIL  setting up: %r" % error)
        for err in [err for err in prefix.errors if err]:
            print("      stderr: %r" % err)
        failed += 1
    finally:
        prefix.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
