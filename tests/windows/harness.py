"""The harness of the Windows job: checks and their counts, runs of programs
and of PowerShell, and waits with an end."""
import base64
import collections
import contextlib
import subprocess
import sys
import time
from pathlib import Path


ROOT = Path(__file__).resolve().parent.parent.parent
# For the modules that import Pacecap's expected output or the paired timing
# from testlib after this one.
sys.path.insert(0, str(ROOT))

RUN_TIMEOUT = 30

results = {"passed": 0, "failed": 0, "skipped": 0}
Ran = collections.namedtuple("Ran", "code out err")


def check(name, condition, detail=""):
    results["passed" if condition else "failed"] += 1
    print("%s  %s%s" % ("ok  " if condition else "FAIL", name, "" if condition else ": %s" % (detail,)))


def skip(count, name, reason):
    """Counts checks that cannot apply to this machine as skipped, not passed."""
    results["skipped"] += count
    print("skip  %s (%d): %s" % (name, count, reason))


def summary_line(counts):
    line = "%d passed, %d failed" % (counts["passed"], counts["failed"])
    return line + (", %d skipped" % counts["skipped"] if counts["skipped"] else "")


def first_line(text):
    return text.splitlines()[0] if text else ""


@contextlib.contextmanager
def restored(label, read, write, show=repr):
    """Yields the value as found and writes it back afterwards, whatever
    happened in between; checks that it is back. label(original) names the
    check, show(value) describes a value that is not."""
    original = read()
    try:
        yield original
    finally:
        write(*original)
        now = read()
        check(label(original), now == original, show(now))


def ps_quote(text):
    """A PowerShell single-quoted literal of text."""
    return "'" + str(text).replace("'", "''") + "'"


def powershell(command, exe="powershell", timeout=120):
    """Runs PowerShell commands, passed base64-encoded (UTF-16LE) so that no
    command-line quoting can change them; progress records, which would
    reach standard error, are off. Returns Ran(exit code, standard output,
    standard error), the outputs stripped."""
    script = "$ProgressPreference = 'SilentlyContinue'\n" + command
    encoded = base64.b64encode(script.encode("utf-16-le")).decode("ascii")
    done = subprocess.run([exe, "-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-EncodedCommand", encoded],
                          capture_output=True, text=True, errors="replace", timeout=timeout)
    return Ran(done.returncode, done.stdout.strip(), done.stderr.strip())


def run_script(script, *args, timeout=120):
    """Runs a roll-out script as Intune does (powershell.exe -File), in the
    job's own elevated session."""
    done = subprocess.run(["powershell", "-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-File",
                           str(script)] + [str(arg) for arg in args],
                          capture_output=True, text=True, errors="replace", timeout=timeout)
    return Ran(done.returncode, done.stdout.strip(), done.stderr.strip())


class Run:
    def __init__(self, argv, cwd=None, env=None):
        done = subprocess.run(argv, capture_output=True, timeout=RUN_TIMEOUT, cwd=cwd, env=env)
        self.out, self.code = done.stdout, done.returncode & 0xFFFFFFFF

    def __repr__(self):
        return "exit code 0x%08X, output %r" % (self.code, self.out)


def poll(probe, timeout, interval=1.0):
    """probe()'s first true result within timeout seconds, else its last."""
    deadline = time.monotonic() + timeout
    result = probe()
    while not result and time.monotonic() < deadline:
        time.sleep(interval)
        result = probe()
    return result


def run_group(name, group):
    try:
        group()
    except Exception as error:  # the group's remaining checks cannot run
        check("%s: every check ran" % name, False, repr(error))
