"""The active power scheme's maximum processor state, read and written by
powercfg, and put back afterwards."""
import contextlib
import re
import subprocess

from harness import RUN_TIMEOUT, restored


POWERCFG_QUERY = ["powercfg", "/query", "SCHEME_CURRENT", "SUB_PROCESSOR", "PROCTHROTTLEMAX"]


def parse_powercfg(text):
    """(plugged-in, on-battery) from powercfg's query of one setting."""
    found = {}
    for line in text.splitlines():
        match = re.match(r"\s*Current (AC|DC) Power Setting Index:\s*0x([0-9a-fA-F]+)\s*$", line)
        if match:
            found[match.group(1)] = int(match.group(2), 16)
    if set(found) != {"AC", "DC"}:
        raise ValueError("no AC and DC index in powercfg's output: %r" % text[-300:])
    return found["AC"], found["DC"]


def read_scheme(query=POWERCFG_QUERY):
    done = subprocess.run(query, capture_output=True, text=True, timeout=RUN_TIMEOUT)
    return parse_powercfg(done.stdout)


def read_class_one():
    """The faster cores' values, or None where the runner has no such setting
    (/qh, since /query leaves hidden settings out)."""
    try:
        return read_scheme(["powercfg", "/qh", "SCHEME_CURRENT", "SUB_PROCESSOR", "PROCTHROTTLEMAX1"])
    except ValueError:
        return None


def write_class_one(plugged_in, on_battery):
    for which, value in (("/setacvalueindex", plugged_in), ("/setdcvalueindex", on_battery)):
        powercfg(which, "SCHEME_CURRENT", "SUB_PROCESSOR", "PROCTHROTTLEMAX1", str(value))
    powercfg("/setactive", "SCHEME_CURRENT")


def class_one_verdict(core_kinds, before, after, written=(99, 80)):
    """(name, passed, detail) of the class-1 setting across Pacecap's write
    of `written`; passed is None, and detail the reason, where nothing can be
    compared: the scheme has no class-1 setting, or its values already were
    the written ones, so that a wrong write (one kind of core) or a missing
    one (two kinds) would not show."""
    if before is None:
        return ("the class-1 setting", None, "the scheme has no class-1 setting (PROCTHROTTLEMAX1): nothing to compare")
    if core_kinds >= 2:
        name = "%d kinds of core: the class-1 setting is set to %r as well" % (core_kinds, written)
        if before == written:
            return (name, None, "the class-1 values already are %r: a missing write would not show" % (written,))
        return (name, after == written, after)
    name = "one kind of core: the class-1 setting %r is left as it was" % (before,)
    if before == written:
        return (name, None, "one kind of core, and the class-1 values already are %r: a wrong write would not show"
                % (written,))
    return (name, after == before, after)


def powercfg(*args):
    subprocess.run(["powercfg"] + list(args), check=True, capture_output=True, timeout=RUN_TIMEOUT)


def write_scheme(plugged_in, on_battery):
    for which, value in (("/setacvalueindex", plugged_in), ("/setdcvalueindex", on_battery)):
        powercfg(which, "SCHEME_CURRENT", "SUB_PROCESSOR", "PROCTHROTTLEMAX", str(value))
    powercfg("/setactive", "SCHEME_CURRENT")


def scheme_restored(read=read_scheme, write=write_scheme):
    return restored(lambda original: "the original values %r are back" % (original,), read, write)


def value_lines(plugged_in, on_battery):
    """The lines in which Pacecap 0 shows the two values (on two kinds of
    core a line for a faster class may follow)."""
    return [b"plugged-in value is %d%%\r\n" % plugged_in, b"on-battery value is %d%%\r\n" % on_battery]


def class_one_kept():
    """Puts the class-1 values back at the end, where the scheme has them:
    on two kinds of core every run of Pacecap that sets values writes them."""
    if read_class_one() is None:
        return contextlib.nullcontext()
    return restored(lambda original: "the original class-1 values %r are back" % (original,), read_class_one,
                    write_class_one)
