#!/usr/bin/python3
"""Writes the release bundle around the built (and possibly signed) exes
already copied into DIST, one per target of TARGETS: copies of the roll-out
SCRIPTs, a zip per target holding its exe (as Pacecap.exe) and the scripts
side by side, SHA256SUMS, a winget manifest set with, per target, the
Windows Installer package for the machine and the zip's portable exe, and a
Scoop manifest, all filled in from the files' hashes and the exes' version
resource. The packages (Pacecap-VERSION-x64.msi, -arm64.msi) are the ones
scripts/release built into DIST; without them the bundle has the zips only.

Usage: release_files.py DIST MAKER_HEADER URL_BASE [SCRIPT...]
URL_BASE is where the release's files will be downloaded from; it may hold
{version}. A SCRIPT already in DIST is taken as it is (standing alone, and
signed where the release signs); any other is written into DIST standing
alone.
"""
import hashlib
import json
import re
import sys
import zipfile
from pathlib import Path

import pefile

import build_msi
import standalone

MANIFEST_VERSION = "1.12.0"
# winget reads a manifest's schema from its first line (from 1.7 on).
SCHEMA_LINE = "# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.1.12.0.schema.json\n"
DESCRIPTION = "Sets the maximum processor state of the active power scheme, plugged in and on battery."
ZIP_TIME = (1980, 1, 1, 0, 0, 0)  # fixed, so the zip is the same for the same files
# Per target: the exe's name in DIST (the x64 one keeps the name that old
# links point to, as its zip does), the zip's suffix, the image's machine,
# and winget's and Scoop's names for the architecture (winget's also names
# the package: Pacecap-VERSION-x64.msi).
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


def yaml(fields, indent=""):
    """The small subset of YAML these manifests need: a mapping is a list of
    (key, value) pairs, a value a string, a list of strings or a list of
    mappings; a string that YAML would read otherwise is quoted."""
    lines = []
    for key, value in fields:
        if not isinstance(value, list):
            lines.append("%s%s: %s" % (indent, key, scalar(value)))
            continue
        lines.append("%s%s:" % (indent, key))
        for item in value:
            if isinstance(item, list):
                first, *rest = yaml(item, indent + "  ").splitlines(keepends=True)
                lines.append(indent + "- " + first[len(indent) + 2:].rstrip("\n"))
                lines.extend(line.rstrip("\n") for line in rest)
            else:
                lines.append("%s- %s" % (indent, scalar(item)))
    return "\n".join(lines) + "\n"


def scalar(text):
    return "'%s'" % text.replace("'", "''") if re.search(r"^[^\w/]|: | #", text) else text


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
        write_zip([("Pacecap.exe", exe)] + [(script.name, script) for script in scripts], archive)
    exes, archives = [t[0] for t in targets], [t[1] for t in targets]
    listed = exes + scripts + archives + packages
    hashes = {path: sha256(path) for path in listed}
    (dist / "SHA256SUMS").write_text("".join("%s  %s\n" % (hashes[p], p.name) for p in listed))

    identifier = "PacecapProject.Pacecap"
    folder = dist / "winget" / "manifests" / "p" / "PacecapProject" / "Pacecap" / version
    folder.mkdir(parents=True, exist_ok=True)
    head = [("PackageIdentifier", identifier), ("PackageVersion", version)]
    manifest = lambda kind, fields: (SCHEMA_LINE % kind + "\n" + yaml(  # noqa: E731
        head + fields + [("ManifestType", kind), ("ManifestVersion", MANIFEST_VERSION)]))
    (folder / (identifier + ".yaml")).write_text(manifest("version", [("DefaultLocale", "en-US")]))
    # The packages come first and say machine; the zips say no scope, as a
    # portable install takes either. winget prefers the user scope unless told
    # otherwise, but only over an installer that says so: between these, the
    # order decides, and a plain "winget install" takes the package, while
    # "--scope user" leaves only the zip.
    machine = [[("Architecture", arch), ("InstallerType", "msi"), ("Scope", "machine"),
                ("InstallerUrl", url + package.name), ("InstallerSha256", hashes[package].upper()),
                ("ProductCode", build_msi.product_code(version, arch)),
                ("AppsAndFeaturesEntries", [[("UpgradeCode", build_msi.UPGRADE_CODE)]])]
               for _, _, package, arch, _ in targets if package in packages]
    portable = [[("Architecture", arch), ("InstallerType", "zip"), ("NestedInstallerType", "portable"),
                 ("NestedInstallerFiles", [[("RelativeFilePath", "Pacecap.exe"), ("PortableCommandAlias", "pacecap")]]),
                 ("InstallerUrl", url + archive.name), ("InstallerSha256", hashes[archive].upper())]
                for _, archive, _, arch, _ in targets]
    (folder / (identifier + ".installer.yaml")).write_text(manifest("installer", [
        ("Commands", ["pacecap"]), ("Installers", machine + portable)]))
    (folder / (identifier + ".locale.en-US.yaml")).write_text(manifest("defaultLocale", [
        ("PackageLocale", "en-US"), ("Publisher", name), ("PublisherUrl", web), ("PackageName", "Pacecap"),
        ("License", "Freeware"), ("ShortDescription", DESCRIPTION)]))

    # Scoop's own manifest is published with each release as pacecap.json, so
    # the latest release's copy says which version is the newest.
    scoop = dist / "scoop"
    scoop.mkdir(exist_ok=True)
    latest = url_base.replace("/download/{version}", "/latest/download").replace("{version}", "latest")
    templated = url_base.replace("{version}", "$version").rstrip("/") + "/"
    (scoop / "pacecap.json").write_text(json.dumps({
        "version": version,
        "description": DESCRIPTION,
        "homepage": web,
        "license": "Freeware",
        "architecture": {arch: {"url": url + archive.name, "hash": hashes[archive]}
                         for _, archive, _, _, arch in targets},
        "bin": "Pacecap.exe",
        "checkver": {"url": latest.rstrip("/") + "/pacecap.json", "jsonpath": "$.version"},
        "autoupdate": {
            "architecture": {arch: {"url": templated + "Pacecap-$version-%s.zip" % suffix}
                             for _, suffix, _, _, arch in TARGETS},
            "hash": {"url": "$baseurl/SHA256SUMS"},
        },
    }, indent=4) + "\n")
    print("release %s written to %s" % (version, dist))


if __name__ == "__main__":
    main()
