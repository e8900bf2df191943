"""Writes the release's package manager manifests into DIST: a winget
manifest set with, per target, the Windows Installer package for the machine
and the zip's portable exe, and a Scoop manifest. release/bundle.py calls it
with the files it has written and their hashes.

Each target is (exe, zip, its package, winget's architecture, Scoop's); the
paths are in DIST, and a package only counts where it is among packages.
"""
import json
import re

from release import identity

MANIFEST_VERSION = "1.12.0"
# winget reads a manifest's schema from its first line (from 1.7 on).
SCHEMA_LINE = "# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.1.12.0.schema.json\n"
DESCRIPTION = "Sets the maximum processor state of the active power scheme, plugged in and on battery."


def write_winget(dist, version, targets, packages, hashes, url, maker):
    """The winget manifest set of version, for files published under url;
    maker is (name, web address)."""
    name, web = maker
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
                ("ProductCode", identity.product_code(version, arch)),
                ("AppsAndFeaturesEntries", [[("UpgradeCode", identity.UPGRADE_CODE)]])]
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


def write_scoop(dist, version, targets, hashes, url, url_base, web, zip_suffixes):
    """Scoop's manifest of version; url_base as the release was given it,
    zip_suffixes the zips' name suffix per Scoop architecture, for updates."""
    # Scoop's own manifest is published with each release as pacecap.json, so
    # the latest release's copy says which version is the newest. The folder
    # is the path segment that holds {version} (a tag such as v{version}):
    # GitHub serves the latest release's files from .../releases/latest/download/,
    # another host is taken to name that folder "latest".
    scoop = dist / "scoop"
    scoop.mkdir(exist_ok=True)
    folder = r"[^/]*\{version\}[^/]*"
    latest = re.sub(folder, "latest", re.sub("/download/" + folder, "/latest/download", url_base))
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
                             for arch, suffix in zip_suffixes},
            "hash": {"url": "$baseurl/SHA256SUMS"},
        },
    }, indent=4) + "\n")


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
