"""Wine for the suites and the benchmark: its commands (the machine's own, or
the arm64 root's under qemu), starts that Wine itself failed made again, and
a private prefix with the stand-in power library, where a program runs with
an exact command line through the launcher (tests/programs/Launcher.cpp)."""
import contextlib
import os
import shutil
import subprocess
from pathlib import Path

WINE_DIR = Path("/usr/lib/wine")
RUN_TIMEOUT = 60
STAND_IN = "StandInPowrprof.dll"
# What Wine prints when it fails to start a process, about once in a thousand
# starts, before any Windows code runs: nothing ran, so the start is made again.
START_FAILURE = "wine: failed to map the shared user data: c0000018"
START_RETRIES = 2
# The launcher's own failure code, told apart from any program's: see Launcher.cpp.
LAUNCHER_FAILED = 250


def win_path(path):
    return "Z:" + str(path).replace("/", "\\")


def wine_commands(arm64_root=None):
    """The commands that start Wine and its server: the machine's own, or the
    arm64 root's under qemu. The root holds the build folder at the same path;
    a program there starts in the caller's folder too."""
    in_root = ["sh", "-c", 'exec chroot "$0" /usr/bin/env -C "$(pwd -P)" "$@"', arm64_root] if arm64_root else []
    return in_root + [str(WINE_DIR / "wine64")], in_root + [str(WINE_DIR / "wineserver")]


def arm64_wine():
    """The arm64 root that tools/arm64_wine set up, or why there is none."""
    root, skip = os.environ.get("PACECAP_ARM64_ROOT"), os.environ.get("PACECAP_ARM64_SKIP")
    return root, skip or (None if root else "no arm64 Wine: run this through tools/arm64_wine")


def start(argv, out, err, **kwargs):
    """subprocess.run(argv, **kwargs), its standard output into the file out
    and its standard error into the file err (which may be out); made again,
    at most START_RETRIES times, while the standard error holds
    START_FAILURE. Files, not pipes: Wine's background processes inherit the
    handles and would hold a pipe open long after the program ended."""
    for _ in range(1 + START_RETRIES):
        with open(out, "wb") as out_file, (
                contextlib.nullcontext(subprocess.STDOUT) if err == out else open(err, "wb")) as err_file:
            done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out_file, stderr=err_file, close_fds=True,
                                  **kwargs)
        if START_FAILURE not in Path(err).read_text(errors="replace"):
            break
    return done


class Result:
    """A run: its output, the program's full exit code (None when the launch
    failed), the stand-in's calls, the scheme after it, the marker library's
    lines, the standard error and Wine's exit status."""

    def __init__(self, out, code, calls, scheme, marker, err, status):
        self.out, self.code, self.calls, self.scheme, self.marker = out, code, calls, scheme, marker
        self.err, self.status = err, status

    def __repr__(self):
        code = "none, the launch failed" if self.code is None else "0x%08X" % self.code
        return "out=%r code=%s calls=%r scheme=%r marker=%r status=%d stderr=%r" % (
            self.out, code, self.calls, self.scheme, self.marker, self.status, self.err)


class Wine:
    """A private prefix with one persistent wineserver and the stand-in power
    library. errors collects the standard error of each run."""

    def __init__(self, build, work, arm64_root=None):
        self.wine, self.server = wine_commands(arm64_root)
        self.build = Path(build)
        self.tools = self.build / "tests" / "programs"
        self.exe = self.build / "Pacecap.exe"
        self.work = Path(work)
        self.prefix = self.work / "prefix"
        self.system32 = self.prefix / "drive_c" / "windows" / "system32"
        self.errors = []
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="winedbg.exe=d;powrprof=n",
                        PACECAP_SCHEME=win_path(self.work / "scheme.txt"),
                        PACECAP_POWER_LOG=win_path(self.work / "calls.txt"),
                        PACECAP_MARKER=win_path(self.work / "marker.txt"))
        self.env.pop("DISPLAY", None)
        self.env.pop("PACECAP_POWER_FAIL", None)

    def start(self):
        self.prefix.mkdir()
        self.spawn(self.server + ["-p"])
        self.spawn(self.wine + ["wineboot", "-i"])
        self.install_stand_in(STAND_IN)
        self.spawn(self.wine + [str(self.tools / "DoNothing.exe")])  # starts the background services

    def stop(self):
        self.spawn(self.server + ["-k"], check=False)

    def spawn(self, argv, check=True):
        err = self.work / "spawn-err.txt"
        done = start(argv, self.work / "spawn-out.txt", err, env=self.env, timeout=300, cwd=self.work)
        if check and done.returncode != 0:
            raise RuntimeError("%s failed with %d: %s" % (argv, done.returncode, err.read_text(errors="replace")))

    def install_stand_in(self, name):
        shutil.copy(self.tools / name, self.system32 / "powrprof.dll")

    def run_with_power_library(self, stand_in, *args, **kwargs):
        """Runs with stand_in as System32's power library, or with none there
        when it is None; the usual stand-in is back afterwards."""
        if stand_in:
            self.install_stand_in(stand_in)
        else:
            (self.system32 / "powrprof.dll").unlink()
        try:
            return self.run(*args, **kwargs)
        finally:
            self.install_stand_in(STAND_IN)

    def run(self, command_line=None, args=None, scheme=(85, 60), fail=None, exe=None, cwd=None,
            overrides=None):
        """Runs exe with the exact command_line bytes (through the launcher) or
        with args through wine's own quoting."""
        (self.work / "scheme.txt").write_text("%d %d 0\n" % scheme)
        for name in ("calls.txt", "marker.txt"):
            (self.work / name).unlink(missing_ok=True)
        env = dict(self.env)
        if fail:
            env["PACECAP_POWER_FAIL"] = ";".join("%s=%d" % item for item in fail.items())
        if overrides:
            env["WINEDLLOVERRIDES"] = "winedbg.exe=d;" + overrides
        exe = exe or self.exe
        if command_line is not None:
            (self.work / "cmdline.bin").write_bytes(command_line)
            argv = self.wine + [str(self.tools / "Launcher.exe"), win_path(exe), win_path(self.work / "cmdline.bin")]
        else:
            argv = self.wine + [str(exe)] + list(args or [])
        out, err = self.work / "out.bin", self.work / "err.txt"
        done = start(argv, out, err, env=env, timeout=RUN_TIMEOUT, cwd=cwd or self.work)
        errors = err.read_text(errors="replace")
        self.errors.append(errors)
        code = done.returncode
        if command_line is not None:
            # Only the launcher's report is the program's code: without one, the launch failed.
            reported = [line for line in errors.splitlines() if line.startswith("exit code 0x")]
            code = int(reported[-1][len("exit code "):], 16) if reported else None
        calls_file = self.work / "calls.txt"
        calls = calls_file.read_text().splitlines() if calls_file.exists() else []
        ac, dc, applied = ((self.work / "scheme.txt").read_text().split() + ["?"] * 3)[:3]
        marker_file = self.work / "marker.txt"
        marker = marker_file.read_text().splitlines() if marker_file.exists() else []
        return Result(out.read_bytes(), code, calls, (int(ac), int(dc), int(applied)), marker, errors,
                      done.returncode)
