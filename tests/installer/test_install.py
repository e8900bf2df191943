#!/usr/bin/python3
"""The Windows Installer package under Wine, in a fresh prefix, as one table
of steps: a refused folder, install, PATH, Apps & Features, repair, refused
limits, upgrade, refused downgrade, uninstall, and a failing task
registration rolled back. Wine has no PowerShell, so the task's registration
itself is checked on Windows (tests/windows/real_windows.py). With --arm64,
under tools/arm64_wine: the ARM64 package replaces an x64 install of the
same version, its exe runs, and it uninstalls; skipped, with the reason,
where that Wine cannot run. Builds the
exes of two versions itself, under build/installer. Ends with "N passed,
M failed" (", K skipped").

Usage: test_install.py [--arm64]
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(ROOT / "installer"))
sys.path.insert(0, str(ROOT / "tests" / "wine"))
import build_msi  # noqa: E402
import e2e  # noqa: E402 (its Wine commands and the arm64 root)

OLD, NEW = "1.0.0.0", "1.0.1.0"  # Windows Installer sees only the first three fields
SCRIPTS = build_msi.SCRIPTS
FOLDER = r"C:\Program Files\Pacecap" + "\\"
MARK = r"HKLM\SOFTWARE\Pacecap"  # where an install that registered the task says so
TRACE = "-all,fixme+powershell"  # Wine's stand-in powershell.exe names its arguments, and does nothing
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
ENVIRONMENT = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
FAILURE = 1603 & 0xFF  # ERROR_INSTALL_FAILURE, as Linux sees an exit code
USAGE = b"Pacecap - sets max CPU percent values in the current power profile"
# How the task's action starts Windows PowerShell, as Wine's debug line
# shows the arguments (escaping each double quote): by its full path, the
# installed script by its path, the given value only.
STARTED = (r"""stub: L"C:\\windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe" L"-NoProfile" """
           r"""L"-NonInteractive" L"-ExecutionPolicy" L"Bypass" L"-Command" L"$p = Start-Process -FilePath """
           r"""'C:\\windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe' -ArgumentList """
           r"""'-NoProfile -NonInteractive -ExecutionPolicy Bypass -File \"C:\\Program Files\\Pacecap\\"""
           r"""Register-PacecapTask.ps1\" -PluggedIn 99' -NoNewWindow -PassThru;""")


def build(arch, version, work, name=None):
    """The exe of version for arch, built into build/installer, and its
    package (with the scripts standing alone) in work/name (the version by
    default)."""
    folder = ROOT / "build" / "installer" / ("%s-%s" % (arch, version))
    subprocess.run(["bash", "-c", '. "$0/tools/lib.sh" && configure_cross_for "$1" "$2" -DPACECAP_VERSION="$3" '
                    '&& quietly cmake --build "$2" --target Pacecap', str(ROOT), arch, str(folder), version],
                   check=True, stdin=subprocess.DEVNULL)
    out = work / (name or version)
    out.mkdir()
    subprocess.run(["/usr/bin/python3", str(ROOT / "release" / "standalone.py"), str(out)] +
                   [str(ROOT / "deploy" / name) for name in SCRIPTS], check=True, capture_output=True)
    return folder / "Pacecap.exe", build_msi.build(arch, folder / "Pacecap.exe", out, out)


class Prefix:
    """A fresh Wine prefix with one persistent server."""

    def __init__(self, work, arm64_root=None):
        self.wine, self.server = e2e.wine_commands(arm64_root)
        self.work = work
        self.drive = work / "prefix" / "drive_c"
        self.env = dict(os.environ, WINEPREFIX=str(work / "prefix"), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="winedbg.exe=d")
        self.env.pop("DISPLAY", None)

    def run(self, *args, debug="-all"):
        """Runs a Windows program; its exit code's low byte and its output (and
        Wine's debug lines, with debug). Files, not pipes: Wine's background
        processes would hold a pipe open."""
        with open(self.work / "out.log", "wb") as out:
            done = subprocess.run(self.wine + list(args), env=dict(self.env, WINEDEBUG=debug), stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=out if debug != "-all" else subprocess.DEVNULL, timeout=600,
                                  close_fds=True, cwd=self.work)
        return done.returncode, (self.work / "out.log").read_bytes()

    def start(self):
        (self.work / "prefix").mkdir()
        subprocess.run(self.server + ["-p"], env=self.env, check=True, timeout=60)
        self.run("wineboot", "-i")

    def stop(self):
        subprocess.run(self.server + ["-k"], env=self.env, timeout=60)

    def msiexec(self, *args, debug="-all"):
        """msiexec with a verbose log; its exit code, the log's text (and with
        debug, Wine's debug lines)."""
        log = self.work / "msiexec.log"
        log.unlink(missing_ok=True)
        code, out = self.run("msiexec", *args, "/qn", "/l*v", e2e.win_path(log), debug=debug)
        return code, (log.read_text(errors="replace") if log.exists() else "") + out.decode(errors="replace")

    def debug_lines(self, marker, text, seconds=30):
        """The lines of text, or of the last run's output as it grows, that
        hold marker: what a process that outlives the run writes comes late."""
        for _ in range(seconds * 10):
            found = [line for line in text.splitlines() if marker in line]
            if found:
                return found
            time.sleep(0.1)
            text = (self.work / "out.log").read_bytes().decode(errors="replace")
        return []

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
    files = lambda exe: dict({"Pacecap.exe": exe.read_bytes()}, **scripts)  # noqa: E731
    old_code = build_msi.product_code(OLD, "x64")
    new_code = build_msi.product_code(NEW, "x64")

    def marked():
        return "TaskRegistered" in prefix.query(MARK)

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
        code, log = prefix.msiexec("/i", e2e.win_path(other))
        return code == FAILURE and "InstallInitialize" not in log and not prefix.installed(), code

    def install():
        code, log = prefix.msiexec("/i", e2e.win_path(old[1]))
        return code == 0 and prefix.installed() == files(old[0]), (code, sorted(prefix.installed()))

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
        code, _ = prefix.msiexec("/i", e2e.win_path(old[1]), "REINSTALL=ALL", "REINSTALLMODE=amus")
        return code == 0 and whole(old[0], old_code), code

    def refused_limits():
        # The last: values for the installed version itself, which registered no task.
        outcomes = [(value, prefix.msiexec("/i", e2e.win_path(package[1]), value)) for package, value in
                    ((new, "PLUGGEDIN=101"), (new, "PLUGGEDIN=-1"), (new, "ONBATTERY=abc"), (new, "ONBATTERY=99.5"),
                     (old, "PLUGGEDIN=99"))]
        return all(refused_at_launch(code, log) for _, (code, log) in outcomes) and whole(old[0], old_code), [
            (value, code) for value, (code, _) in outcomes]

    def upgrade():
        code, _ = prefix.msiexec("/i", e2e.win_path(new[1]))
        return code == 0 and whole(new[0], new_code), (code, prefix.path_entries(), list(prefix.products()))

    def uninstall_registered():
        # As if this install had registered the task. (Not before an
        # upgrade: Wine's RemoveExistingProducts sets no UPGRADINGPRODUCTCODE.)
        code, _ = prefix.msiexec("/i", e2e.win_path(new[1]))
        prefix.run("reg", "add", MARK, "/v", "TaskRegistered", "/t", "REG_SZ", "/d", "1", "/f")
        code, log = prefix.msiexec("/x", e2e.win_path(new[1]))
        line = [line for line in log.splitlines() if line.startswith("Register-PacecapTask.ps1 -Remove:")]
        # (Wine's rollback keeps the files but not the Apps & Features entry;
        # Windows keeps both.)
        return code == FAILURE and len(line) == 1 and prefix.installed() == files(new[0]), (code, line)

    def downgrade():
        code, log = prefix.msiexec("/i", e2e.win_path(old[1]))
        return refused_at_launch(code, log) and whole(new[0], new_code), code

    def uninstall():
        code, log = prefix.msiexec("/x", e2e.win_path(new[1]))
        return (code == 0 and not prefix.installed() and not prefix.products() and not marked() and
                not [line for line in log.splitlines() if line.startswith("Register-PacecapTask.ps1 -")] and
                [e for e in prefix.path_entries() if e] == [e for e in original_path if e] and
                not prefix.finds_pacecap()), (code, prefix.path_entries())

    def failed_task():
        code, log = prefix.msiexec("/i", e2e.win_path(new[1]), "PLUGGEDIN=99", debug=TRACE)
        line = [line for line in log.splitlines() if line.startswith("Register-PacecapTask.ps1 -PluggedIn 99:")]
        # The action gives up on PowerShell's output at once here, so
        # msiexec may end before PowerShell has said what it was given.
        started = prefix.debug_lines("powershell:wmain", log)
        return (code == FAILURE and len(line) == 1 and not prefix.installed() and not prefix.products() and
                len(started) == 1 and STARTED in started[0]), (code, line, started)

    return [
        ("before the install, a new process does not find Pacecap", lambda: (not prefix.finds_pacecap(), "")),
        ("a folder other than Program Files' own is refused before anything changes", other_folder),
        ("a silent install puts the exe and the three scripts, byte for byte, in C:\\Program Files\\Pacecap", install),
        ("the machine PATH holds the folder once, the rest as it was, and a new process finds Pacecap", path),
        ("Apps & Features: name, publisher, version, help link and icon", apps_and_features),
        ("a repair (REINSTALL=ALL REINSTALLMODE=amus) puts back a deleted exe", repair),
        ("limits outside 0 to 100, and limits over an install of the same version that registered no task, are "
         "refused before anything changes, and the install stays whole", refused_limits),
        ("an upgrade to %s leaves one product and one PATH entry, with the new exe" % NEW, upgrade),
        ("a downgrade to %s is refused before anything changes, and %s stays whole" % (OLD, NEW), downgrade),
        ("uninstall runs no task action where the install registered no task, and leaves no file, no PATH "
         "entry and no Apps & Features entry", uninstall),
        ("PLUGGEDIN=99 with no PowerShell: the task's action starts it by its full path with the script and "
         "the value, fails, is in the log, and the install is rolled back", failed_task),
        ("uninstall where the install registered the task runs the script with -Remove, and its failure "
         "keeps the files", uninstall_registered),
    ]


def arm64_steps(prefix, package, exe, x64_package):
    def x64_first():
        code, _ = prefix.msiexec("/i", e2e.win_path(x64_package))
        return code == 0 and list(prefix.products()) == [build_msi.product_code(OLD, "x64")], code

    def install():
        code, _ = prefix.msiexec("/i", e2e.win_path(package))
        return (code == 0 and prefix.installed().get("Pacecap.exe") == exe.read_bytes() and
                list(prefix.products()) == [build_msi.product_code(OLD, "arm64")]), (code, list(prefix.products()))

    def uninstall():
        code, _ = prefix.msiexec("/x", e2e.win_path(package))
        return code == 0 and not prefix.installed() and not prefix.products(), code

    return [("the x64 package installs on ARM64 too", x64_first),
            ("the ARM64 package of the same version replaces it, and installs its exe", install),
            ("the installed ARM64 exe runs, found through the PATH", lambda: (prefix.finds_pacecap(), "")),
            ("the ARM64 package uninstalls", uninstall)]


def main():
    arm64 = sys.argv[1:] == ["--arm64"]
    if sys.argv[1:] not in ([], ["--arm64"]):
        sys.exit(__doc__)
    root, skip = e2e.arm64_wine() if arm64 else (None, None)
    if not arm64 and not (e2e.WINE_DIR / "wine64").exists():
        skip = "no Wine here (%s)" % (e2e.WINE_DIR / "wine64")
    passed = failed = 0
    if skip:
        print("Install under Wine skipped: %s" % skip)
        print("0 passed, 0 failed, %d skipped" % (4 if arm64 else 12))
        return 0
    (ROOT / "build").mkdir(exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="pacecap-install-", dir=ROOT / "build"))
    prefix = Prefix(work, root)
    try:
        if arm64:
            exe, package = build("arm64", OLD, work, "arm64")
            _, x64_package = build("x64", OLD, work, "x64")
            prefix.start()
            table = arm64_steps(prefix, package, exe, x64_package)
        else:
            old, new = build("x64", OLD, work), build("x64", NEW, work)
            scripts = {name: (work / OLD / name).read_bytes() for name in SCRIPTS}
            prefix.start()
            table = steps(prefix, old, new, scripts, prefix.path_entries())
        for what, step in table:
            try:
                ok, detail = step()
            except Exception as error:  # a step that raises fails, and the rest still run
                ok, detail = False, repr(error)
            passed, failed = passed + ok, failed + (not ok)
            print("%s  %s%s" % ("ok  " if ok else "FAIL", what, "" if ok else " %s" % (detail,)))
    except Exception as error:
        print("FAIL  setting up: %r" % error)
        failed += 1
    finally:
        prefix.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
