"""The power scheme cases, and the planted-library cases of the loader's
search order."""
import os
import shutil

from harness import Run, check, skip
from testlib.expected import INVALID, USAGE, set_lines, values  # after harness, which puts the root on the path
from power_scheme import class_one_verdict, read_class_one, read_scheme, scheme_restored


def power_scheme_cases(exe, machine):
    """Needs an active power scheme that powercfg reads and writes; the
    class-1 check needs a class-1 setting, and skips where nothing can be
    compared (see class_one_verdict)."""
    with scheme_restored() as (ac, dc):
        shown = Run([exe, "0"])
        check("Pacecap 0 shows powercfg's values %d and %d, exit 0" % (ac, dc),
              (shown.out, shown.code) == (values(ac, dc), 0), shown)
        usage = Run([exe])
        check("Pacecap alone: usage text, the values, exit 1",
              (usage.out, usage.code) == (USAGE + values(ac, dc), 1), usage)
        class_one = read_class_one()
        both = Run([exe, "99", "80"])
        check("Pacecap 99 80: both set and applied, exit 0", (both.out, both.code) == (set_lines(99, 80), 0), both)
        now = read_scheme()
        check("powercfg then reports 99 and 80", now == (99, 80), now)
        name, passed, detail = class_one_verdict(machine.core_kinds, class_one, read_class_one())
        if passed is None:
            skip(1, name, detail)
        else:
            check(name, passed, detail)
        first = Run([exe, "98", "0"])
        check("Pacecap 98 0: exit 0", (first.out, first.code) == (set_lines(98), 0), first)
        now = read_scheme()
        check("powercfg then reports 98 and the on-battery value left at 80", now == (98, 80), now)
        for args in (["101"], ["abc", "50"]):
            bad = Run([exe] + args)
            check("Pacecap %s: invalid value, exit 1" % " ".join(args), (bad.out, bad.code) == (INVALID, 1), bad)
            now = read_scheme()
            check("Pacecap %s changes nothing" % " ".join(args), now == (98, 80), now)


def planted_library_cases(exe, kit, work):
    """Marker copies named POWRPROF.dll beside the exe and in the current
    directory are never loaded; an unrestricted program does load the one
    beside it."""
    app, cwd = work / "app", work / "cwd"
    for folder in (app, cwd):
        folder.mkdir()
        shutil.copy(kit / "Marker.dll", folder / "POWRPROF.dll")
    shutil.copy(exe, app / "Pacecap.exe")
    shutil.copy(kit / "LoadLibraries.exe", app / "LoadLibraries.exe")
    marker = work / "marker.txt"
    env = dict(os.environ, PACECAP_MARKER=str(marker))

    def loads(argv):
        marker.unlink(missing_ok=True)
        run = Run(argv, cwd=cwd, env=env)
        return run, marker.read_text().splitlines() if marker.exists() else []

    with scheme_restored():
        run, loaded = loads([str(app / "Pacecap.exe"), "99", "80"])
        check("Pacecap 99 80 with planted copies: exit 0", (run.out, run.code) == (set_lines(99, 80), 0), run)
        check("no planted POWRPROF.dll is loaded", loaded == [], loaded)
    run, loaded = loads([str(app / "LoadLibraries.exe")])
    check("control: an unrestricted program loads the POWRPROF.dll beside it",
          any(line.upper().endswith("\\APP\\POWRPROF.DLL") for line in loaded), loaded)
