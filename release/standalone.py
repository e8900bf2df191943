#!/usr/bin/python3
"""Writes the roll-out scripts of deploy/ as they are released: each stands
alone, with the shared part's bytes in place of the one line that
dot-sources it (Intune and Configuration Manager take a script as one file),
and the task's definition, where a script reads it, in its line.

Usage: standalone.py OUT_DIR [SCRIPT...]   (default: every deploy/*.ps1)
"""
import sys
from pathlib import Path

SHARED = Path("shared") / "PacecapShared.ps1"
LINE = b'. "$PSScriptRoot\\shared\\PacecapShared.ps1"'
TASK = Path("shared") / "PacecapTask.xml"
TASK_LINE = b"$TaskXml = $null"


def standalone(script):
    """The bytes of SCRIPT with the shared part put in; the shared file is the
    one beside it, in shared/."""
    lines = Path(script).read_bytes().splitlines(keepends=True)
    at = [i for i, line in enumerate(lines) if line.rstrip(b"\r\n") == LINE]
    if len(at) != 1:
        sys.exit("%s: must dot-source %s on exactly one line" % (script, SHARED))
    lines[at[0]] = (Path(script).parent / SHARED).read_bytes()
    for i, line in enumerate(lines):
        if line.rstrip(b"\r\n") == TASK_LINE:
            lines[i] = task_here_string(Path(script).parent / TASK, line[len(TASK_LINE):])
    return b"".join(lines)


def task_here_string(path, newline):
    """The line that holds the bytes of PATH as they are: a here-string's
    text runs from the line after its opening to the line break before its
    closing, which a line of the text must not begin."""
    data = path.read_bytes()
    if data.startswith(b"'@") or b"\n'@" in data:
        sys.exit("%s: a line begins with '@, which would end the here-string" % path)
    return b"$TaskXml = @'" + newline + data + newline + b"'@" + newline


def write(script, folder):
    """Writes SCRIPT standing alone into FOLDER; returns the new file's path."""
    target = Path(folder) / Path(script).name
    target.write_bytes(standalone(script))
    return target


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    scripts = sys.argv[2:] or sorted(Path(__file__).resolve().parent.parent.joinpath("deploy").glob("*.ps1"))
    for script in scripts:
        print(write(script, out))


if __name__ == "__main__":
    main()
