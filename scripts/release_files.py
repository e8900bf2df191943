#!/usr/bin/python3
"""Writes the release bundle around a built (and possibly signed) Pacecap.exe
already copied into DIST: copies of the roll-out SCRIPTs, a zip holding the
exe and the scripts side by side, SHA256SUMS, a winget manifest set for a
portable installer, and a Scoop manifest, all filled in from the file's hash
and version resource.

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


def file_version(exe):
    pe = pefile.PE(str(exe))
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
    """Writes files, flat and in the order given, with fixed times and
    attributes, so that the same files give the same zip."""
    with zipfile.ZipFile(target, "w") as archive:
        for path in files:
            info = zipfile.ZipInfo(path.name, ZIP_TIME)
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
    exe = dist / "Pacecap.exe"
    # Each script stands alone, with the shared part put in (standalone.py).
    scripts = [standalone.write(path, dist) for path in sorted(map(Path, sys.argv[4:]), key=lambda path: path.name)]
    version = file_version(exe)
    name, web = maker(header)
    url = url_base.format(version=version).rstrip("/") + "/Pacecap.exe"
    exe_hash = sha256(exe)

    archive = dist / ("Pacecap-%s-win64.zip" % version)
    write_zip([exe] + scripts, archive)
    (dist / "SHA256SUMS").write_text("".join("%s  %s\n" % (sha256(p), p.name) for p in [exe] + scripts + [archive]))

    identifier = "PacecapProject.Pacecap"
    folder = dist / "winget" / "manifests" / "p" / "PacecapProject" / "Pacecap" / version
    folder.mkdir(parents=True, exist_ok=True)
    head = [("PackageIdentifier", identifier), ("PackageVersion", version)]
    (folder / (identifier + ".yaml")).write_text(yaml(head + [
        ("DefaultLocale", "en-US"), ("ManifestType", "version"), ("ManifestVersion", MANIFEST_VERSION)]))
    (folder / (identifier + ".installer.yaml")).write_text(yaml(head + [
        ("InstallerType", "portable"), ("Commands", ["pacecap"]),
        ("Installers", [[("Architecture", "x64"), ("InstallerUrl", url), ("InstallerSha256", exe_hash.upper())]]),
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
        "architecture": {"64bit": {"url": url, "hash": exe_hash}},
        "bin": "Pacecap.exe",
    }, indent=4) + "\n")
    print("release %s written to %s" % (version, dist))


if __name__ == "__main__":
    main()
