#!/usr/bin/python3
"""The Windows Installer package under Wine, in a fresh prefix, as one table
of steps: a refused folder, install over a copy placed by hand, PATH, Apps &
Features, repair, refused limits, upgrade, refused downgrade, uninstall, and
the task's action (the real TaskAction.dll) with a stand-in powershell.exe
in System32 (tests/programs/StandInPowerShell.cpp): its lines in the log,
removal however the task was registered, the values kept on upgrade, a
failure and a hang rolled back, a cancel answered to the script's first line
(tests/programs/CancelledInstall.cpp), a failed removal. Wine has no
PowerShell, so the task's registration itself is checked on Windows
(tests/windows/real_windows.py). With --arm64, under tools/arm64_wine: the
ARM64 package replaces an x64 install of the same version, its exe runs, its
action runs once, and it uninstalls; skipped, with the reason, where that
Wine cannot run. Builds the exes of two versions itself, under
build/installer. Ends with "N passed, M failed" (", K skipped").

Usage: test_install.py [--arm64]
"""
import os
import shutil
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
MARK = r"HKLM\SOFTWARE\Pacecap"  # where an install that registered the task says so, with its values
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
ENVIRONMENT = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
FAILURE = 1603 & 0xFF  # ERROR_INSTALL_FAILURE, as Linux sees an exit code
USAGE = b"Pacecap - sets max CPU percent values in the current power profile"
# How the task's action starts Windows PowerShell, as the stand-in records
# it: by its full path in System32, the installed script by its path, the
# values given only.
POWERSHELL = (r'"C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe" -NoProfile -NonInteractive '
              r'-ExecutionPolicy Bypass -File "C:\Program Files\Pacecap\Register-PacecapTask.ps1"')
RECORD = r"C:\standin.log"  # where the stand-in records each start
# What the stand-in writes: each line of both streams, "[...]" as it stands.
STANDIN_LINES = [": stand-in output 1", ": stand-in [ProductName] output 2", ": stand-in output 3",
                 " (error output): stand-in error 1", " (error output): stand-in error 2"]
HAND_TIME = 1e9  # the times of a copy placed by hand


def build(arch, version, work, name=None):
    """The exe of version for arch, built into build/installer with the task
    action and the stand-in powershell.exe, and its package (with the
    scripts standing alone) in work/name (the version by default)."""
    folder = ROOT / "build" / "installer" / ("%s-%s" % (arch, version))
    subprocess.run(["bash", "-c", '. "$0/tools/lib.sh" && configure_cross_for "$1" "$2" -DPACECAP_VERSION="$3" '
                    '&& quietly cmake --build "$2" --target Pacecap PacecapKeep TaskAction StandInPowerShell CancelledInstall',
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

    def run(self, *args, standin=""):
        """Runs a Windows program; its exit code's low byte and its output."""
        done = start(self.wine + list(args), self.work / "out.log", self.work / "err.log",
                     env=dict(self.env, PACECAP_STANDIN=standin), timeout=600, cwd=self.work)
        self.errors.append((self.work / "err.log").read_text(errors="replace"))
        return done.returncode, (self.work / "out.log").read_bytes()

    def start(self, standin):
        """Starts the prefix, with the stand-in as System32's Windows PowerShell."""
        (self.work / "prefix").mkdir()
        subprocess.run(self.server + ["-p"], env=self.env, check=True, timeout=60)
        self.run("wineboot", "-i")
        shutil.copy(standin, self.drive / "windows" / "system32" / "WindowsPowerShell" / "v1.0" / "powershell.exe")

    def started(self):
        """The stand-in's command lines since the last call."""
        record = self.drive / "standin.log"
        lines = record.read_text().splitlines() if record.exists() else []
        record.unlink(missing_ok=True)
        return lines

    def running(self, name):
        """Processes of this prefix (by the WINEPREFIX they inherit) whose
        command line holds name; another checkout's run is none of them."""
        found, own = [], ("WINEPREFIX=%s" % self.env["WINEPREFIX"]).encode()
        for process in Path("/proc").glob("[0-9]*"):
            try:
                if (name in (process / "cmdline").read_bytes().decode(errors="replace") and
                        own in (process / "environ").read_bytes().split(b"\0")):
                    found.append(process.name)
            except OSError:
                pass
        return found

    def stop(self):
        subprocess.run(self.server + ["-k"], env=self.env, timeout=60)

    def msiexec(self, *args, standin=""):
        """msiexec with a verbose log, the stand-in told what to do; its exit
        code and the log's text."""
        log = self.work / "msiexec.log"
        log.unlink(missing_ok=True)
        code, out = self.run("msiexec", *args, "/qn", "/l*v", win_path(log), standin=standin)
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
        return {path.name: path.read_bytes() for path in folder.iterdir()} if folder.exists() else {}

    def finds_pacecap(self):
        """Whether a new process finds Pacecap through the PATH."""
        return self.run("cmd", "/c", "Pacecap")[1].startswith(USAGE)


def refused_at_launch(code, log):
    """Refused by a launch condition, before anything changes: the install
    never reached InstallInitialize. (Wine logs no launch condition's
    message; the package's tables hold it, and Windows shows it.)"""
    return code == FAILURE and "LaunchConditions" in log and "InstallInitialize" not in log


def steps(prefix, old, new, scripts, original_path):
    """The install table: (what, step), each step returning (passed, detail)."""
    files = lambda exe: dict({"Pacecap.exe": exe.read_bytes(),  # noqa: E731
                              "PacecapKeep.exe": (exe.parent / "PacecapKeep.exe").read_bytes()}, **scripts)
    old_code = build_msi.product_code(OLD, "x64")
    new_code = build_msi.product_code(NEW, "x64")

    def marked():
        return "TaskRegistered" in prefix.query(MARK)

    def values():
        line = [line for line in prefix.query(MARK, "/v", "TaskValues").splitlines() if "REG_SZ" in line]
        return line[0].split("REG_SZ", 1)[1].strip() if line else None

    def ran(log, *arguments):
        """Each run of the action, in order, as the stand-in recorded it and
        the log ended it, for the arguments given (the rest of each run's
        command line)."""
        runs = prefix.started()
        endings = [line.split(":", 1)[0] for line in log.splitlines() if
                   line.startswith("Register-PacecapTask.ps1") and ": exit code " in line]
        return runs == [POWERSHELL + (" " + args if args else "") for args in arguments] and endings == [
            "Register-PacecapTask.ps1" + (" " + args if args else "") for args in arguments], (runs, endings)

    def whole(exe, code):
        """exe's version installed whole: its files, one product, PATH once and otherwise as it was."""
        path = prefix.path_entries()
        return (prefix.installed() == files(exe) and list(prefix.products()) == [code] and
                [entry for entry in path if entry] == [entry for entry in original_path if entry] + [FOLDER])

    def other_folder():
        # The same package, told that Program Files is elsewhere.
        other = prefix.work / "other.msi"
        shutil.copy(old[1], other)
        subprocess.run(["msibuild", str(other), "-q", "UPDATE `CustomAction` SET `Target` = 'C:\\Elsewhere\\' "
                        "WHERE `Action` = 'SetProgramFilesPacecap'"], check=True)
        code, log = prefix.msiexec("/i", win_path(other))
        return code == FAILURE and "InstallInitialize" not in log and not prefix.installed(), code

    def over_copy():
        # The same files placed by hand, as unpacked from the zip: they
        # would keep their owner and rights.
        folder = prefix.drive / "Program Files" / "Pacecap"
        folder.mkdir(parents=True)
        for name, data in files(old[0]).items():
            (folder / name).write_bytes(data)
            os.utime(folder / name, (HAND_TIME, HAND_TIME))
        code, log = prefix.msiexec("/i", win_path(old[1]))
        times = [path.stat().st_mtime for path in folder.iterdir()]
        shutil.rmtree(folder)
        return (refused_at_launch(code, log) and times == [HAND_TIME] * len(files(old[0])) and not prefix.products()), (code, times)

    def install():
        code, log = prefix.msiexec("/i", win_path(old[1]))
        return code == 0 and prefix.installed() == files(old[0]) and not prefix.started(), (
            code, sorted(prefix.installed()))

    def path():
        return whole(old[0], old_code) and prefix.finds_pacecap(), prefix.path_entries()

    def apps_and_features():
        entry = prefix.products().get(old_code, {})
        icon = prefix.drive / "windows" / "Installer" / old_code / "Pacecap.ico"
        return ((entry.get("DisplayName"), entry.get("Publisher"), entry.get("DisplayVersion"), entry.get("HelpLink"))
                == ("Pacecap", "The Pacecap Project", OLD, "https://pacecap.example") and
                icon.exists() and icon.read_bytes() == (ROOT / "res" / "Pacecap.ico").read_bytes()), entry

    def repair():
        (prefix.drive / "Program Files" / "Pacecap" / "Pacecap.exe").unlink()
        code, _ = prefix.msiexec("/i", win_path(old[1]), "REINSTALL=ALL", "REINSTALLMODE=amus")
        return code == 0 and whole(old[0], old_code), code

    def refused_limits():
        # The last: values for the installed version itself, which registered no task.
        outcomes = [(value, prefix.msiexec("/i", win_path(package[1]), value)) for package, value in
                    ((new, "PLUGGEDIN=101"), (new, "PLUGGEDIN=-1"), (new, "ONBATTERY=abc"), (new, "ONBATTERY=99.5"),
                     (old, "PLUGGEDIN=99"))]
        return all(refused_at_launch(code, log) for _, (code, log) in outcomes) and whole(old[0], old_code), [
            (value, code) for value, (code, _) in outcomes]

    def upgrade():
        code, _ = prefix.msiexec("/i", win_path(new[1]))
        return code == 0 and whole(new[0], new_code), (code, prefix.path_entries(), list(prefix.products()))

    def downgrade():
        code, log = prefix.msiexec("/i", win_path(old[1]))
        return refused_at_launch(code, log) and whole(new[0], new_code), code

    def uninstall():
        code, log = prefix.msiexec("/x", win_path(new[1]))
        return (code == 0 and not prefix.installed() and not prefix.products() and not marked() and
                not [line for line in log.splitlines() if line.startswith("Register-PacecapTask.ps1 -")] and
                [e for e in prefix.path_entries() if e] == [e for e in original_path if e] and
                not prefix.finds_pacecap()), (code, prefix.path_entries())

    def registered():
        code, log = prefix.msiexec("/i", win_path(new[1]), "PLUGGEDIN=99")
        lines = [line for line in log.splitlines() if line.startswith("Register-PacecapTask.ps1 -PluggedIn 99")]
        # Each stream's lines in their order; the two streams may interleave.
        streams = [[line for line in lines if ("(error output)" in line) == error] for error in (False, True)]
        return (code == 0 and whole(new[0], new_code) and ran(log, "-PluggedIn 99")[0] and
                streams == [["Register-PacecapTask.ps1 -PluggedIn 99" + line for line in STANDIN_LINES[:3]] +
                            ["Register-PacecapTask.ps1 -PluggedIn 99: exit code 0"],
                            ["Register-PacecapTask.ps1 -PluggedIn 99" + line for line in STANDIN_LINES[3:]]] and
                values() == "-PluggedIn 99|-OnBattery"), (code, lines, values())

    def removed(what):
        code, log = prefix.msiexec("/x", win_path(new[1]))
        runs = ran(log, "-Remove")
        folder = prefix.drive / "Program Files" / "Pacecap"
        left = sorted(path.name for path in folder.iterdir()) if folder.exists() else []
        if folder.exists():  # the stand-in removes no task folder, which Wine's uninstall then leaves
            shutil.rmtree(folder)
        return code == 0 and runs[0] and left in ([], ["Task"]) and not marked(), (what, code, runs, left)

    def removed_by_hand():
        code, _ = prefix.msiexec("/i", win_path(new[1]))
        # As Register-PacecapTask.ps1 leaves it, run by hand: the task's
        # folder with its copies, and no mark.
        (prefix.drive / "Program Files" / "Pacecap" / "Task").mkdir()
        (prefix.drive / "Program Files" / "Pacecap" / "Task" / "Remediate-Pacecap.ps1").write_bytes(b"")
        return code == 0 and not marked() and removed("by hand")[0], code

    def upgraded():
        code, log = prefix.msiexec("/i", win_path(old[1]), "PLUGGEDIN=90")
        first = ran(log, "-PluggedIn 90")
        code2, log = prefix.msiexec("/i", win_path(new[1]))
        runs = prefix.started()
        # (Wine's RemoveExistingProducts sets no UPGRADINGPRODUCTCODE, so the
        # old version's uninstall removes the task first there.)
        return (code == code2 == 0 and first[0] and runs[-1:] == [POWERSHELL + " -PluggedIn 90"] and
                whole(new[0], new_code) and values() == "-PluggedIn 90|-OnBattery" and
                removed("after the upgrade")[0]), (code, code2, first, runs, values())

    def failed():
        code, log = prefix.msiexec("/i", win_path(new[1]), "PLUGGEDIN=99", standin="-PluggedIn 99=6")
        runs = ran(log, "-PluggedIn 99", "-Remove")
        return (code == FAILURE and runs[0] and not prefix.installed() and not prefix.products() and
                "Pacecap's task could not be registered, so the install was undone" in log), (code, runs)

    def variant(name, query):
        """The new package with one change (an SQL query), in work/name."""
        package = prefix.work / name
        if not package.exists():
            shutil.copy(new[1], package)
            subprocess.run(["msibuild", str(package), "-q", query], check=True)
        return win_path(package)

    def short():
        """The same package, with a bound of 5 seconds."""
        return variant("short.msi", "UPDATE `Property` SET `Value` = '5' WHERE `Property` = 'TaskSeconds'")

    def refused_data():
        # The same package, its registration given an argument it does not take.
        package = variant("refused.msi", "UPDATE `CustomAction` SET `Target` = "
                          "'[TaskSeconds]|[PacecapFolder]|-Pacecap x' WHERE `Action` = 'SetRegisterTask'")
        code, log = prefix.msiexec("/i", package, "PLUGGEDIN=99")
        prefix.started()
        return (code == FAILURE and "The task's CustomActionData was refused: an argument other than" in log and
                "Pacecap's task could not be registered, so the install was undone" in log and
                not prefix.installed()), code

    def hung():
        code, log = prefix.msiexec("/i", short(), "PLUGGEDIN=99", standin="-PluggedIn 99=hang")
        runs = prefix.started()
        # (The processes counted include the console host that Wine, like
        # Windows, starts for PowerShell.)
        stopped = [line.split(" (")[0] for line in log.splitlines() if "did not finish within 5 seconds" in line]
        return (code == FAILURE and runs[:2] == [POWERSHELL + " -PluggedIn 99", '"C:\\windows\\system32\\'
                'WindowsPowerShell\\v1.0\\powershell.exe" hanging-child'] and
                stopped == ["Register-PacecapTask.ps1 -PluggedIn 99: did not finish within 5 seconds, and was stopped "
                            "with all it had started"] and
                not prefix.running("powershell.exe") and not prefix.installed()), (code, runs, stopped,
                                                                                   prefix.running("powershell.exe"))

    def flooded():
        code, log = prefix.msiexec("/i", short(), "PLUGGEDIN=99", standin="-PluggedIn 99=flood")
        prefix.started()
        stopped = [line for line in log.splitlines() if "did not finish within 5 seconds" in line]
        return (code == FAILURE and len(stopped) == 1 and ": " + "f" * 63 in log and
                not prefix.running("powershell.exe") and not prefix.installed()), (code, stopped)

    def cancelled():
        out = prefix.run(win_path(old[0].parent / "tests" / "programs" / "CancelledInstall.exe"), short(),
                         standin="-PluggedIn 99=hang")[1]
        runs, running = prefix.started(), prefix.running("powershell.exe")
        # (Wine runs no rollback after a cancel, as Windows does: it keeps
        # the files and the entry, which an uninstall removes here.)
        prefix.msiexec("/x", win_path(new[1]))
        prefix.started()
        return (out == b"1602" and runs[:1] == [POWERSHELL + " -PluggedIn 99 -OnBattery 80"] and not running and
                not prefix.installed() and not prefix.products()), (out, runs, running)

    def failed_removal():
        code, log = prefix.msiexec("/i", win_path(new[1]), "PLUGGEDIN=99")
        first = ran(log, "-PluggedIn 99")
        code2, log = prefix.msiexec("/x", win_path(new[1]), standin="-Remove=6")
        runs = ran(log, "-Remove", "-PluggedIn 99")
        # (Wine's rollback keeps the files but not the Apps & Features entry;
        # Windows keeps both.)
        return (code == 0 and first[0] and code2 == FAILURE and runs[0] and prefix.installed() == files(new[0]) and
                "Pacecap's task could not be removed, so Pacecap stays installed, with its task" in log and
                "Run Register-PacecapTask.ps1 -Remove from an administrator prompt, then uninstall again." in log), (
                    code, code2, first, runs)

    def own_processes():
        # Stand-ins by name alone: one as in another checkout's prefix, one as in this one.
        named = [subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)", "powershell.exe"],
                                  env=dict(os.environ, WINEPREFIX=where))
                 for where in (str(prefix.work / "other-prefix"), prefix.env["WINEPREFIX"])]
        try:
            found = prefix.running("powershell.exe")
        finally:
            for process in named:
                process.kill()
                process.wait()
        return found == [str(named[1].pid)], (found, [process.pid for process in named])

    return [
        ("a powershell.exe counts as running only in this suite's own prefix, not in another checkout's",
         own_processes),
        ("before the install, a new process does not find Pacecap", lambda: (not prefix.finds_pacecap(), "")),
        ("a folder other than Program Files' own is refused before anything changes", other_folder),
        ("an install over a copy placed by hand is refused before anything changes", over_copy),
        ("a silent install puts the exe and the three scripts, byte for byte, in C:\\Program Files\\Pacecap", install),
        ("the machine PATH holds the folder once, the rest as it was, and a new process finds Pacecap", path),
        ("Apps & Features: name, publisher, version, help link and icon", apps_and_features),
        ("a repair (REINSTALL=ALL REINSTALLMODE=amus) puts back a deleted exe", repair),
        ("limits outside 0 to 100, and limits over an install of the same version that registered no task, are "
         "refused before anything changes, and the install stays whole", refused_limits),
        ("an upgrade to %s leaves one product and one PATH entry, with the new exe" % NEW, upgrade),
        ("a downgrade to %s is refused before anything changes, and %s stays whole" % (OLD, NEW), downgrade),
        ("uninstall runs no task action where there is no task, and leaves no file, no PATH "
         "entry and no Apps & Features entry", uninstall),
        ("PLUGGEDIN=99: the action starts System32's Windows PowerShell by its path with the script and the "
         "value, logs each line of both streams and the exit code, and remembers the values", registered),
        ("uninstall removes the task the package registered", lambda: removed("by the package")),
        ("uninstall removes a task registered by hand, which left no mark", removed_by_hand),
        ("an upgrade without values registers the task again with the values it had", upgraded),
        ("a registration that exits 6 fails the install, which is rolled back and its task removed", failed),
        ("a registration whose data is refused fails the install, which is rolled back, with what to do",
         refused_data),
        ("a registration that hangs, with a child that hangs too, is stopped at the bound with its child, "
         "and the install is rolled back", hung),
        ("a registration that writes without pause is stopped at the bound all the same", flooded),
        ("a cancel answered to the script's first line stops it with its child, and the install returns 1602",
         cancelled),
        ("a removal that fails stops the uninstall with what to do, and registers the task again", failed_removal),
    ]


def arm64_steps(prefix, package, exe, x64_package):
    def x64_first():
        code, _ = prefix.msiexec("/i", win_path(x64_package))
        return code == 0 and list(prefix.products()) == [build_msi.product_code(OLD, "x64")], code

    logs = {}

    def install():
        code, logs["install"] = prefix.msiexec("/i", win_path(package), "PLUGGEDIN=99")
        return (code == 0 and prefix.installed().get("Pacecap.exe") == exe.read_bytes() and
                list(prefix.products()) == [build_msi.product_code(OLD, "arm64")]), (code, list(prefix.products()))

    def action():
        runs = prefix.started()
        ended = [line for line in logs.get("install", "").splitlines() if line.startswith("Register-PacecapTask.ps1")]
        return (runs == [POWERSHELL + " -PluggedIn 99"] and
                ended[-1:] == ["Register-PacecapTask.ps1 -PluggedIn 99: exit code 0"]), (runs, ended)

    def uninstall():
        code, _ = prefix.msiexec("/x", win_path(package))
        return (code == 0 and not prefix.installed() and not prefix.products() and
                prefix.started() == [POWERSHELL + " -Remove"]), code

    return [("the x64 package installs on ARM64 too", x64_first),
            ("the ARM64 package of the same version, with PLUGGEDIN=99, replaces it, and installs its exe", install),
            ("its ARM64 task action ran once, started PowerShell with the value, and logged its exit code", action),
            ("the installed ARM64 exe runs, found through the PATH", lambda: (prefix.finds_pacecap(), "")),
            ("the ARM64 package uninstalls, removing the task", uninstall)]


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
        print("0 passed, 0 failed, %d skipped" % (5 if arm64 else 22))
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
