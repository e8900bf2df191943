#!/usr/bin/python3
"""Size and loading benchmark of Pacecap.exe and PacecapKeep.exe: prints the
file and section sizes, the libraries each mode loads under Wine, the wall
time of `Pacecap 0` as median ratios over paired runs against a do-nothing
program and a program that only loads user32, shlwapi and powrprof, and the
cost of one run of the task, the keeper finding the values held, against
`Pacecap 0`.

Usage: benchmark.py [--arm64] WINDOWS_BUILD_DIR [PAIRS]
--arm64 measures an ARM64 build with the Wine of the arm64 root that
tools/arm64_wine sets up: its timings are qemu's, not an ARM machine's.
"""
import re
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from testlib.timing import paired_ratio  # noqa: E402
from testlib.wine import Wine, arm64_wine, start  # noqa: E402

DEFERRED = ("user32.dll", "shlwapi.dll", "powrprof.dll")
MODES = [("usage", []), ("show", ["0"]), ("set", ["99", "80"]), ("invalid value", ["101"])]


def sizes(exe):
    import pefile  # here, so that the timing below imports without it on Windows

    data = exe.read_bytes()
    pe = pefile.PE(data=data)
    print("File size: %d bytes" % len(data))
    print("  headers  %5d bytes in the file" % pe.OPTIONAL_HEADER.SizeOfHeaders)
    for section in pe.sections:
        print("  %-8s %5d bytes in the file, %5d in memory" % (
            section.Name.rstrip(b"\0").decode(), section.SizeOfRawData, section.Misc_VirtualSize))


def loaded_libraries(wine, args):
    """The deferred libraries the run loads, in order, with the output lines
    that came before each load."""
    env = dict(wine.env, WINEDEBUG="-all,+pid,+loaddll")
    log = wine.work / "loaddll.txt"
    start(wine.wine + [str(wine.exe)] + args, log, log, env=env, timeout=60, cwd=wine.work)
    events, printed, own = [], 0, None
    for line in log.read_text(errors="replace").splitlines():
        traced = re.match(r"^([0-9a-f]{4}):[0-9a-f]{4}:", line)
        if not traced:
            printed += 1 if line.strip() else 0
            continue
        if "Loaded L" not in line:
            continue
        name = line.split('"')[1].split("\\")[-1].lower()
        if name == "pacecap.exe":
            own = traced.group(1)
        if traced.group(1) == own and name in DEFERRED:
            events.append("%s (after %d output lines)" % (name, printed))
    return events


def timed(wine, argv):
    """The wall time of one run, a start that Wine failed and made again
    included: the median passes over that one in a thousand."""
    started = time.perf_counter()
    start(argv, wine.work / "timed-out.txt", wine.work / "timed-err.txt", env=wine.env, cwd=wine.work, timeout=60)
    return time.perf_counter() - started


def main():
    args = sys.argv[1:]
    arm64 = args[:1] == ["--arm64"]
    args = args[1:] if arm64 else args
    if len(args) not in (1, 2):
        sys.exit(__doc__)
    build = Path(args[0]).resolve()
    pairs = int(args[1]) if len(args) == 2 else 30
    root, skip = arm64_wine() if arm64 else (None, None)
    emulated = " (ARM64, emulated by qemu: not an ARM machine's figures)" if arm64 else ""
    if arm64:
        print("ARM64 image")
    for name in ("Pacecap.exe", "PacecapKeep.exe"):
        print(name)
        sizes(build / name)
    if skip:
        print("\nNo Wine figures for ARM64: %s" % skip)
        return
    work = Path(tempfile.mkdtemp(prefix="pacecap-bench-", dir=build))
    wine = Wine(build, work, root)
    try:
        wine.start()
        (work / "scheme.txt").write_text("85 60 0\n")
        print("\nDeferred libraries loaded, by mode (under Wine, WINEDEBUG=+loaddll)%s:" % emulated)
        for name, args in MODES:
            events = loaded_libraries(wine, args)
            print("  %-14s %s" % (name, ", ".join(events) if events else "none"))
        print("  (Wine's shlwapi imports user32, so loading shlwapi brings user32 with it.)")
        pacecap = wine.wine + [str(wine.exe), "0"]
        print("\nWall time of `Pacecap 0`, median over %d paired runs%s:" % (pairs, emulated))
        for label, exe in (("a do-nothing program", "DoNothing.exe"),
                           ("a program loading user32, shlwapi, powrprof", "LoadLibraries.exe")):
            other = wine.wine + [str(wine.tools / exe)]
            ratio, mine, theirs = paired_ratio(lambda argv: timed(wine, argv), pacecap, other, pairs)
            print("  against %-45s ratio %.2f  (%.1f ms vs %.1f ms)" % (label, ratio, mine * 1e3, theirs * 1e3))
        # What each of the task's triggers costs: one process, the keeper,
        # which here finds the values held and writes nothing.
        keeper = wine.wine + [str(build / "PacecapKeep.exe"), "85", "60"]
        ratio, mine, theirs = paired_ratio(lambda argv: timed(wine, argv), keeper, pacecap, pairs)
        print("\nOne run of the task, `PacecapKeep 85 60` with the values held, against `Pacecap 0`, median over"
              " %d paired runs%s:\n  ratio %.2f  (%.1f ms vs %.1f ms)" % (pairs, emulated, ratio, mine * 1e3,
                                                                        theirs * 1e3))
    finally:
        wine.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
