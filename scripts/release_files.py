#!/usr/bin/python3
"""Writes the release bundle around the built (and possibly signed) exes
already copied into DIST, one per target of TARGETS: copies of the roll-out
SCRIPTs, a zip per target holding its exe (as Pacecap.exe) and the scripts
side by side, SHA256SUMS, a winget manifest set with a portable installer in
each zip, and a Scoop manifest, all filled in from the zips' hashes and the
exes' version resource.

Usage: release_files.py DIST MAKER_HEADER URL_BASE [SCRIPT...]
URL_BASE is where the release's files will be downloaded from; it may hold
{version}.
"""
import hashlib
import json
import re
import sys
import zipfile
from pathlib import Path

import pefile

import standalone

MANIFEST_VERSION = "1.6.0"
DESCRIPTION = "Sets the maximum processor state of the active power scheme, plugged in and on battery."
ZIP_TIME = (1980, 1, 1, 0, 0, 0)  # fixed, so the zip is the same for the same files
# Per target: the exe's name in DIST (the x64 one keeps the name that old
# links point to, as its zip does), the zip's suffix, the image's machine,
# and winget's and Scoop's names for the architecture.
TARGETS = [("Pacecap.exe", "win64", 0x8664, "x64", "64bit"),
           ("Pacecap-arm64.exe", "arm64", 0xAA64, "arm64", "arm64")]


def file_version(exe):
    return version_of(pefile.PE(str(exe)))


def version_of(pe):
    fixed = pe.VS_FIXEDFILEINFO[0]
    return "%d.%d.%d.%d" % (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
                            fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF)


def maker(header):
    text = Path(header).read_text()
    value = lambda name: re.search(r'#define %s "(.*)"' % name, text).group(1)  # noqa: E731
    return value("PACECAP_MAKER_NAME"), value("PACECAP_MAKER_WEB")


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def write_zip(files, target):
    """Writes files, a list of (name, path), flat and in the order given, with
    fixed times and attributes, so that the same files give the same zip."""
    with zipfile.ZipFile(target, "w") as archive:
        for name, path in files:
            info = zipfile.ZipInfo(name, ZIP_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            archive.writestr(info, path.read_bytes())


def yaml(fields):
    """The small subset of YAML these manifests need: scalars, lists of
    scalars and lists of flat mappings."""
    lines = []
    for key, value in fields:
        if isinstance(value, list):
            lines.append("%s:" % key)
            for item in value:
                if isinstance(item, list):
                    first = True
                    for sub_key, sub_value in item:
                        lines.append("%s %s: %s" % ("-" if first else " ", sub_key, sub_value))
                        first = False
                else:
                    lines.append("- %s" % item)
        else:
            lines.append("%s: %s" % (key, value))
    return "\n".join(lines) + "\n"


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    dist, header, url_base = Path(sys.argv[1]), sys.argv[2], sys.argv[3]
    versions = {}
    for exe_name, _, machine, _, _ in TARGETS:
        pe = pefile.PE(str(dist / exe_name))
        if pe.FILE_HEADER.Machine != machine:
            sys.exit("release_files: %s is for machine 0x%X, not 0x%X" % (exe_name, pe.FILE_HEADER.Machine, machine))
        versions[exe_name] = version_of(pe)
    if len(set(versions.values())) != 1:
        sys.exit("release_files: the exes carry different versions: %s" % versions)
    version = versions["Pacecap.exe"]
    # Each script stands alone, with the shared part put in (standalone.py).
    scripts = [standalone.write(path, dist) for path in sorted(map(Path, sys.argv[4:]), key=lambda path: path.name)]
    # (exe, zip, winget's architecture, Scoop's) per target
    targets = [(dist / exe_name, dist / ("Pacecap-%s-%s.zip" % (version, suffix)), winget_arch, scoop_arch)
               for exe_name, suffix, _, winget_arch, scoop_arch in TARGETS]
    name, web = maker(header)
    url = url_base.format(version=version).rstrip("/") + "/"
    for exe, archive, _, _ in targets:
        write_zip([("Pacecap.exe", exe)] + [(script.name, script) for script in scripts], archive)
    exes, archives = [t[0] for t in targets], [t[1] for t in targets]
    hashes = {path: sha256(path) for path in exes + scripts + archives}
    (dist / "SHA256SUMS").write_text("".join("%s  %s\n" % (hashes[p], p.name) for p in exes + scripts + archives))

    identifier = "PacecapProject.Pacecap"
    folder = dist / "winget" / "manifests" / "p" / "PacecapProject" / "Pacecap" / version
    folder.mkdir(parents=True, exist_ok=True)
    head = [("PackageIdentifier", identifier), ("PackageVersion", version)]
    (folder / (identifier + ".yaml")).write_text(yaml(head + [
        ("DefaultLocale", "en-US"), ("ManifestType", "version"), ("ManifestVersion", MANIFEST_VERSION)]))
    (folder / (identifier + ".installer.yaml")).write_text(yaml(head + [
        ("InstallerType", "zip"), ("NestedInstallerType", "portable"),
        ("NestedInstallerFiles", [[("RelativeFilePath", "Pacecap.exe"), ("PortableCommandAlias", "pacecap")]]),
        ("Commands", ["pacecap"]),
        ("Installers", [[("Architecture", arch), ("InstallerUrl", url + archive.name),
                         ("InstallerSha256", hashes[archive].upper())] for _, archive, arch, _ in targets]),
        ("ManifestType", "installer"), ("ManifestVersion", MANIFEST_VERSION)]))
    (folder / (identifier + ".locale.en-US.yaml")).write_text(yaml(head + [
        ("PackageLocale", "en-US"), ("Publisher", name), ("PublisherUrl", web), ("PackageName", "Pacecap"),
        ("License", "Freeware"), ("ShortDescription", DESCRIPTION),
        ("ManifestType", "defaultLocale"), ("ManifestVersion", MANIFEST_VERSION)]))

    scoop = dist / "scoop"
    scoop.mkdir(exist_ok=True)
    (scoop / "pacecap.json").write_text(json.dumps({
        "version": version,
        "description": DESCRIPTION,
        "homepage": web,
        "license": "Freeware",
        "architecture": {arch: {"url": url + archive.name, "hash": hashes[archive]}
                         for _, archive, _, arch in targets},
        "bin": "Pacecap.exe",
    }, indent=4) + "\n")
    print("release %s written to %s" % (version, dist))


if __name__ == "__main__":
    main()
