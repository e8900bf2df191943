#!/usr/bin/python3
"""Writes the release bundle around the built (and possibly signed) exes
already copied into DIST, two per target of TARGETS (Pacecap.exe and its
keeper, PacecapKeep.exe): copies of the roll-out SCRIPTs, a zip per target
holding its exes (as Pacecap.exe and PacecapKeep.exe) and the scripts side by
side, SHA256SUMS, and the winget and Scoop manifests (manifests.py),
all filled in from the files' hashes and the exes' version resource. The
packages (Pacecap-VERSION-x64.msi, -arm64.msi) are the ones scripts/release
built into DIST; without them the bundle has the zips only.

Usage: bundle.py DIST MAKER_HEADER URL_BASE [SCRIPT...]
URL_BASE is where the release's files will be downloaded from; it may hold
{version}. A SCRIPT already in DIST is taken as it is (standing alone, and
signed where the release signs); any other is written into DIST standing
alone.
"""
import sys
import zipfile
from pathlib import Path

import pefile

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from release import manifests, standalone  # noqa: E402
from release.identity import maker, sha256, version_of  # noqa: E402

ZIP_TIME = (1980, 1, 1, 0, 0, 0)  # fixed, so the zip is the same for the same files
# Per target: the exe's name in DIST (the x64 one keeps the name that old
# links point to, as its zip does), the zip's suffix, the image's machine,
# and winget's and Scoop's names for the architecture (winget's also names
# the package: Pacecap-VERSION-x64.msi).
TARGETS = [("Pacecap.exe", "win64", 0x8664, "x64", "64bit"),
           ("Pacecap-arm64.exe", "arm64", 0xAA64, "arm64", "arm64")]


def keeper_of(exe_name):
    """The name in DIST of the keeper beside exe_name: PacecapKeep-arm64.exe
    beside Pacecap-arm64.exe."""
    return "PacecapKeep" + exe_name[len("Pacecap"):]


def write_zip(files, target):
    """Writes files, a list of (name, path), flat and in the order given, with
    fixed times and attributes, so that the same files give the same zip."""
    with zipfile.ZipFile(target, "w") as archive:
        for name, path in files:
            info = zipfile.ZipInfo(name, ZIP_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            archive.writestr(info, path.read_bytes())


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    dist, header, url_base = Path(sys.argv[1]), sys.argv[2], sys.argv[3]
    versions = {}
    for name, machine in [(name, t[2]) for t in TARGETS for name in (t[0], keeper_of(t[0]))]:
        pe = pefile.PE(str(dist / name))
        if pe.FILE_HEADER.Machine != machine:
            sys.exit("bundle: %s is for machine 0x%X, not 0x%X" % (name, pe.FILE_HEADER.Machine, machine))
        versions[name] = version_of(pe)
    if len(set(versions.values())) != 1:
        sys.exit("bundle: the exes carry different versions: %s" % versions)
    version = versions["Pacecap.exe"]
    # Each script stands alone, with the shared part put in (standalone.py).
    scripts = [path if path.parent.resolve() == dist.resolve() else standalone.write(path, dist)
               for path in sorted(map(Path, sys.argv[4:]), key=lambda path: path.name)]
    # (exe, zip, its package where built, winget's architecture, Scoop's) per target
    targets = [(dist / exe_name, dist / ("Pacecap-%s-%s.zip" % (version, suffix)),
                dist / ("Pacecap-%s-%s.msi" % (version, winget_arch)), winget_arch, scoop_arch)
               for exe_name, suffix, _, winget_arch, scoop_arch in TARGETS]
    packages = [t[2] for t in targets if t[2].exists()]
    name, web = maker(header)
    url = url_base.format(version=version).rstrip("/") + "/"
    for exe, archive, *_ in targets:
        write_zip([("Pacecap.exe", exe), ("PacecapKeep.exe", exe.with_name(keeper_of(exe.name)))] +
                  [(script.name, script) for script in scripts], archive)
    exes = [path for t in targets for path in (t[0], t[0].with_name(keeper_of(t[0].name)))]
    archives = [t[1] for t in targets]
    listed = exes + scripts + archives + packages
    hashes = {path: sha256(path) for path in listed}
    (dist / "SHA256SUMS").write_text("".join("%s  %s\n" % (hashes[p], p.name) for p in listed))

    manifests.write_winget(dist, version, targets, packages, hashes, url, (name, web))
    manifests.write_scoop(dist, version, targets, hashes, url, url_base, web,
                          [(scoop_arch, suffix) for _, suffix, _, _, scoop_arch in TARGETS])
    print("release %s written to %s" % (version, dist))


if __name__ == "__main__":
    main()
