"""The processor an image is built for, and the cases that match it with the
machine's own."""
from pathlib import Path

from harness import check
from windows_api import MACHINES, native_machine


def pe_machine(data):
    """The target of a PE image's bytes, by MACHINES' name or in hex."""
    at = int.from_bytes(data[0x3C:0x40], "little")  # e_lfanew
    if data[:2] != b"MZ" or data[at:at + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    number = int.from_bytes(data[at + 4:at + 6], "little")
    return MACHINES.get(number, "0x%04X" % number)


def machine_cases(exe, kit, emulated):
    """The job tests what it means to: the exe and the tools for this
    machine's processor, and for the emulated figures an x64 exe on another."""
    native = native_machine()
    found = {str(path): pe_machine(path.read_bytes())
             for path in [Path(exe)] + sorted(kit.glob("*.exe")) + sorted(kit.glob("*.dll"))}
    check("the exe under test and the kit's tools are built for this machine's processor (%s)" % native,
          set(found.values()) == {native}, found)
    if emulated:
        found = pe_machine(Path(emulated).read_bytes())
        check("the exe to run under emulation is x64, on a machine that is not", found == "x64" != native,
              (found, native))
