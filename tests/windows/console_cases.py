"""The console cases: the prompt to close, the input flushed, a key that ends
the wait."""
import subprocess
import time

from harness import RUN_TIMEOUT, check, poll, skip
from windows_api import window_station_visible


PROMPT = "Press any key to close"

# Bounds of the console cases' waits: a new console that Windows hands to
# Windows Terminal may take seconds to show anything; Pacecap flushes its
# input 300 ms after it starts and then reads it every 10 ms.
PROMPT_SECONDS = 30
FLUSH_SECONDS = 10

# The wall-clock bound of a run that must not wait for a key: loose enough
# for a busy runner, and still far below the ten-minute wait it rules out.
NO_WAIT_SECONDS = 10


def close_prompt_cases(exe, kit):
    """In a console of its own, Pacecap waits for a key where someone can see
    it; from a shell, or in a console started hidden, never."""
    try:
        visible = window_station_visible()
    except OSError as error:
        check("the job's window station can be queried", False, error)
        visible = None
    if visible:
        waiting_cases(exe, kit)
    elif visible is False:
        skip(3, "in a new console: the prompt shown while it runs, its input flushed, a key ends it",
             "the job's window station is not interactive (no WSF_VISIBLE): no one could see or answer the prompt")
    else:
        skip(3, "in a new console: the prompt shown while it runs, its input flushed, a key ends it",
             "whether the job's desktop is interactive is unknown")
    started = time.monotonic()
    inherited = subprocess.run([exe, "0"], timeout=RUN_TIMEOUT)
    check("from the job's own shell it never waits: exit 0 within %d s" % NO_WAIT_SECONDS,
          inherited.returncode == 0 and time.monotonic() - started < NO_WAIT_SECONDS, time.monotonic() - started)
    hidden = subprocess.STARTUPINFO(dwFlags=subprocess.STARTF_USESHOWWINDOW, wShowWindow=0)  # SW_HIDE
    started = time.monotonic()
    process = subprocess.Popen([exe, "0"], creationflags=subprocess.CREATE_NEW_CONSOLE, startupinfo=hidden)
    try:
        code = process.wait(timeout=NO_WAIT_SECONDS)
    except subprocess.TimeoutExpired:
        code = None
        process.kill()
    check("in a new console started hidden it never waits: exit 0 within %d s" % NO_WAIT_SECONDS, code == 0,
          "exit %r after %.1f s" % (code, time.monotonic() - started))


def awaited(exit_code, screen, markers=None):
    """What a console case still waits for before it presses a key, or None
    once all is there: Pacecap still running, its prompt on the screen, and,
    once a marker has been put into its input (markers: how many are still
    there, -1 when they could not be counted; None before), the marker gone.
    Pacecap flushes its input once, before its first read, and nothing else
    reads it: so a marker that is gone was flushed or read, and a key sent
    after that is read, never flushed."""
    if exit_code is not None:
        return "Pacecap still running (it ended, exit %r)" % exit_code
    if PROMPT not in screen:
        return "the prompt %r on its console screen" % PROMPT
    if markers is not None and markers < 0:
        return "a count of the markers in its input (ConsoleKey could not count them)"
    if markers:
        return "the marker gone from its input (flushed, or read by Pacecap's wait)"
    return None


def waiting_cases(exe, kit):
    """Polls, each wait bounded, until the prompt is on the screen and the
    input has been flushed, then presses a key; no fixed sleep comes first."""
    console_key = str(kit / "ConsoleKey.exe")
    process = subprocess.Popen([exe, "0"], creationflags=subprocess.CREATE_NEW_CONSOLE)

    def helper(*args):
        return subprocess.run([console_key, str(process.pid)] + list(args), capture_output=True, timeout=RUN_TIMEOUT)

    def screen():
        ran = helper("read")
        return ran.stdout.decode("ascii", "replace") if ran.returncode == 0 else ""

    def markers():
        ran = helper("marked")
        text = ran.stdout.decode("ascii", "replace").strip()
        return int(text) if ran.returncode == 0 and text.isdigit() else -1

    try:
        shown = poll(lambda: awaited(process.poll(), screen()) is None, PROMPT_SECONDS, 0.1)
        last = awaited(process.poll(), screen())
        check("in a new console, Pacecap 0 shows its prompt and keeps running",
              shown and last is None, "never seen within %d s: %s" % (PROMPT_SECONDS, last))
        if last is not None:
            skip(2, "its input flushed; a key ends it", "the prompt was never seen")
            return
        marked = helper("mark")
        gone = poll(lambda: awaited(process.poll(), screen(), markers()) is None, FLUSH_SECONDS, 0.1)
        last = awaited(process.poll(), screen(), markers())
        check("its input is flushed and read: a marker put into it after the prompt is taken",
              marked.returncode == 0 and gone and last is None,
              "ConsoleKey mark exit %d; never seen within %d s: %s" % (marked.returncode, FLUSH_SECONDS, last))
        pressed = helper()
        try:
            code = process.wait(timeout=NO_WAIT_SECONDS)
        except subprocess.TimeoutExpired:
            code = None
        check("a key then ends it, exit 0 within %d s" % NO_WAIT_SECONDS, pressed.returncode == 0 and code == 0,
              "ConsoleKey exit %d, Pacecap exit %r" % (pressed.returncode, code))
    finally:
        if process.poll() is None:
            process.kill()
