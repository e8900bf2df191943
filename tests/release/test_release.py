#!/usr/bin/python3
"""Release trust: reproducible builds, Authenticode signing with a throw-away
CA and code-signing certificate, time-stamped by a local RFC 3161 authority
with a throw-away certificate, and the release bundle: its Windows Installer
packages' tables (read with msitools' msiinfo) and their reproducibility, and
the winget and Scoop manifests against the package managers' own schemas (in
schemas/ beside this file). A check that cannot run counts as
failed. Ends with "N passed, M failed".

Usage: test_release.py
"""
import contextlib
import hashlib
import http.server
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import zipfile
from pathlib import Path

import jsonschema
import pefile
import yaml

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "installer"))
import build_msi  # noqa: E402 (the packages' tables)
from release import identity  # noqa: E402 (the packages' identifiers, the bundle's own reading of the version)
# Per target: its build's architecture, its exe in the release folder, its
# zip's suffix, Scoop's name for it and the image's machine. The x64 names are
# the ones old links point to.
TARGETS = [("x64", "Pacecap.exe", "win64", "64bit", 0x8664), ("arm64", "Pacecap-arm64.exe", "arm64", "arm64", 0xAA64)]
# The keeper beside each target's exe in the release folder; and the two exes' names in the zips and packages.
KEEPERS = {"x64": "PacecapKeep.exe", "arm64": "PacecapKeep-arm64.exe"}
INSIDE = ("Pacecap.exe", "PacecapKeep.exe")
URL_BASE = "https://example.invalid/{version}"
# The package managers' own schemas (winget 1.12.0 and Scoop), copied here.
SCHEMAS = Path(__file__).resolve().parent / "schemas"
WINGET = "p/PacecapProject/Pacecap"
# Per winget manifest: its file name after the identifier, and its schema.
MANIFESTS = [("yaml", "version"), ("installer.yaml", "installer"), ("locale.en-US.yaml", "defaultLocale")]
# The task's custom actions, read back with msiinfo: (action, type, source,
# target, condition, sequence). 3073 is a function of a DLL in the Binary
# table (1), deferred (1024), without impersonation (2048); 3329 the same
# as a rollback action (256), 3585 as a commit action (512); 51 sets the
# property the deferred action reads; CheckFolder (1) runs at once, as the
# user, before the launch conditions; each Forget...Now only with rollback
# disabled, when no commit action runs.
GIVEN, REMOVING = "(PLUGGEDIN OR ONBATTERY) AND NOT REMOVE", 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE'
ACTIONS = [
    ("CheckFolder", "1", "TaskAction.dll", "CheckFolder", "NOT Installed OR (%s)" % REMOVING, "99"),
    ("ForgetRemoveTask", "3585", "TaskAction.dll", "ForgetTask", REMOVING, "1538"),
    ("UndoRemoveTask", "3329", "TaskAction.dll", "RestoreTask", REMOVING, "1539"),
    ("RemoveTask", "3073", "TaskAction.dll", "RemoveTask", REMOVING, "1540"),
    ("ForgetRemoveTaskNow", "3073", "TaskAction.dll", "ForgetTask", REMOVING + " AND RollbackDisabled", "1541"),
    ("SetRegisterTask", "51", "RegisterTask", "[PacecapFolder]PacecapKeep.exe|[PLUGGEDIN]|[ONBATTERY]", GIVEN, "1550"),
    ("ForgetRegisterTask", "3585", "TaskAction.dll", "ForgetTask", GIVEN, "6588"),
    ("UndoRegisterTask", "3329", "TaskAction.dll", "RestoreTask", GIVEN, "6589"),
    ("RegisterTask", "3073", "TaskAction.dll", "RegisterTask", GIVEN, "6590"),
    ("ForgetRegisterTaskNow", "3073", "TaskAction.dll", "ForgetTask", GIVEN + " AND RollbackDisabled", "6591"),
]
# Accounts that Windows 7's SDDL reads by alias; any other goes by its SID.
OLDEST_ALIASES = {"SY", "BA", "BU"}
PKI_CONFIG = """
[req]
distinguished_name = dn
prompt = no
[dn]
CN = Pacecap Test CA
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[codesign]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa_config]
serial = tsaserial
signer_digest = sha256
default_policy = 1.2.3.0.1
digests = sha1, sha256
accuracy = secs:1
ess_cert_id_chain = no
"""

results = {"passed": 0, "failed": 0}


def check(name, condition, detail=""):
    if condition:
        results["passed"] += 1
        print("ok    %s" % name)
    else:
        results["failed"] += 1
        print("FAIL  %s %s" % (name, detail))


@contextlib.contextmanager
def checks(count, what):
    """Counts each of the count checks of what that did not run, because
    the group ended early or raised, as failed."""
    before = results["passed"] + results["failed"]
    try:
        yield
    except Exception as error:  # the rest of the group cannot run
        print("      %s raised %r" % (what, error))
    made = results["passed"] + results["failed"] - before
    if made != count:
        results["failed"] += max(count - made, 1)
        print("FAIL  %s: %d of %d checks ran" % (what, made, count))


def run(argv, cwd=None):
    return subprocess.run(argv, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, text=True)


def schema_faults(document, schema):
    """Where document breaks the package manager's schema (a file of SCHEMAS)."""
    rules = json.loads((SCHEMAS / schema).read_text())
    validator = jsonschema.validators.validator_for(rules)(rules)
    return ["%s: %s" % ("/".join(map(str, error.path)), error.message) for error in validator.iter_errors(document)]


def msi_table(package, table):
    """The rows of one table of a Windows Installer package, read with msiinfo
    in a folder of its own: it writes a table's streams (Binary) below its
    current folder."""
    with tempfile.TemporaryDirectory() as scratch:
        done = run(["msiinfo", "export", str(Path(package).resolve()), table], cwd=scratch)
    return [line.split("\t") for line in done.stdout.splitlines()[3:]]


def sha(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def build_copy(tree, arch):
    """Builds the tracked sources, copied into tree, in tree/build for arch;
    returns Pacecap.exe and PacecapKeep.exe."""
    files = run(["git", "ls-files", "-z"], cwd=ROOT).stdout.split("\0")
    for name in filter(None, files):
        target = tree / "src" / name
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / name, target)
    configure = run(["cmake", "-S", str(tree / "src"), "-B", str(tree / "build"), "-G", "Ninja",
                     "-DCMAKE_BUILD_TYPE=MinSizeRel",
                     "-DCMAKE_TOOLCHAIN_FILE=%s/src/cmake/windows-%s-llvm.cmake" % (tree, arch)])
    build = run(["cmake", "--build", str(tree / "build"), "--target", "Pacecap", "PacecapKeep"])
    if configure.returncode or build.returncode:
        print(configure.stdout + configure.stderr + build.stdout + build.stderr)
    return [tree / "build" / name for name in INSIDE]


def make_pki(folder, tag=""):
    (folder / "pki.cnf").write_text(PKI_CONFIG)
    ssl = lambda *args: run(["openssl"] + list(args), cwd=folder)  # noqa: E731
    ssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca%s.key" % tag, "-out", "ca%s.pem" % tag,
        "-days", "30", "-config", "pki.cnf", "-extensions", "ca", "-subj", "/CN=Pacecap Test CA%s" % tag)
    for who in ("codesign", "tsa"):
        ssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "%s%s.key" % (who, tag), "-out", who + ".csr",
            "-subj", "/CN=Pacecap Test %s" % who)
        ssl("x509", "-req", "-in", who + ".csr", "-CA", "ca%s.pem" % tag, "-CAkey", "ca%s.key" % tag,
            "-CAcreateserial", "-out", "%s%s.pem" % (who, tag), "-days", "30", "-extfile", "pki.cnf",
            "-extensions", who)
    files = {}
    for name in ("ca.pem", "codesign.pem", "codesign.key", "tsa.pem", "tsa.key"):
        stem, extension = name.split(".")
        files[name] = str(folder / ("%s%s.%s" % (stem, tag, extension)))
    return files


@contextlib.contextmanager
def time_stamp_authority(folder, pki):
    """An RFC 3161 time-stamp authority on 127.0.0.1 that answers with
    openssl ts -reply, signing with the throw-away TSA key; yields its URL."""
    (folder / "tsaserial").write_text("01\n")

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):  # noqa: N802 (the library's name)
            query = folder / "query.tsq"
            query.write_bytes(self.rfile.read(int(self.headers.get("Content-Length", 0))))
            reply = run(["openssl", "ts", "-reply", "-config", "pki.cnf", "-section", "tsa_config",
                         "-queryfile", query.name, "-signer", pki["tsa.pem"], "-inkey", pki["tsa.key"],
                         "-out", "reply.tsr"], cwd=folder)
            body = (folder / "reply.tsr").read_bytes() if reply.returncode == 0 else b""
            self.send_response(200 if body else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield "http://127.0.0.1:%d" % server.server_address[1]
    finally:
        server.shutdown()
        server.server_close()


def sign_args(pki):
    return ["--cert", pki["codesign.pem"], "--key", pki["codesign.key"], "--timestamp", pki["tsa.url"]]


def verify(exe, ca):
    return run(["osslsigncode", "verify", "-CAfile", ca, "-TSA-CAfile", ca, "-in", str(exe)])


def reproducible(work):
    """Returns the x64 build, for the signing checks."""
    for arch, *_ in TARGETS:
        first = build_copy(work / arch / "a", arch)
        second = build_copy(work / arch / "b" / "deeper" / "path", arch)
        check("%s: two builds in different folders are byte-identical, Pacecap.exe and PacecapKeep.exe" % arch,
              all(one.exists() and other.exists() and one.read_bytes() == other.read_bytes()
                  for one, other in zip(first, second)))
    return work / "x64" / "a" / "build" / "Pacecap.exe"


def signing(work, unsigned, pki, other_pki):
    signed = work / "signed.exe"
    done = run([str(ROOT / "scripts" / "sign")] + sign_args(pki) + [str(unsigned), str(signed)])
    check("signing succeeds", done.returncode == 0 and signed.exists(), done.stderr[-400:])
    if not signed.exists():
        return
    result = verify(signed, pki["ca.pem"])
    out = result.stdout
    check("signature verifies against the test CA", result.returncode == 0 and "Succeeded" in out, out[-600:])
    primary, _, nested = out.partition("Signature Index: 1")
    check("primary signature uses SHA-1", "Message digest algorithm  : SHA1" in primary)
    check("nested signature uses SHA-256", "Message digest algorithm  : SHA256" in nested)
    check("both signatures carry a verified time-stamp",
          out.count("Timestamp Server Signature verification: ok") == 2)
    check("two verified signatures", "Number of verified signatures: 2" in out)

    pe = pefile.PE(str(signed))
    check("header checksum correct after signing", pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum())
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
    end_of_sections = max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections)
    check("signature stands after the last section", security.VirtualAddress >= end_of_sections and
          security.VirtualAddress + security.Size <= len(signed.read_bytes()))
    original = unsigned.read_bytes()
    check("the signed image is the unsigned one up to the signature",
          strip_signature_fields(signed.read_bytes()[:len(original)]) == strip_signature_fields(original))
    stripped = work / "stripped.exe"
    run(["osslsigncode", "remove-signature", "-in", str(signed), "-out", str(stripped)])
    check("removing the signature gives back the unsigned exe, checksum included",
          stripped.exists() and stripped.read_bytes() == original)

    tampered = work / "tampered.exe"
    data = bytearray(signed.read_bytes())
    text = pe.sections[0]
    data[text.PointerToRawData + 16] ^= 0x01
    tampered.write_bytes(bytes(data))
    result = verify(tampered, pki["ca.pem"])
    check("one changed byte makes verification fail", result.returncode != 0 and "Succeeded" not in result.stdout)
    result = verify(signed, other_pki["ca.pem"])
    check("verification against another CA fails", result.returncode != 0)


def strip_signature_fields(image):
    """The image with the checksum and security directory zeroed."""
    pe = pefile.PE(data=bytes(image), fast_load=True)
    data = bytearray(image)
    optional = pe.DOS_HEADER.e_lfanew + 24
    data[optional + 64:optional + 68] = b"\0" * 4
    data[optional + 112 + 4 * 8:optional + 112 + 5 * 8] = b"\0" * 8
    return bytes(data)


def package_tables(packages):
    """The packages' identity and the task's custom actions, as msiinfo reads them."""
    for (arch, *_), package in zip(TARGETS, packages):
        info = run(["msiinfo", "suminfo", str(package)]).stdout
        properties = dict(row[:2] for row in msi_table(package, "Property"))
        upgrade = "{6E1B9F43-2C8D-4F5A-9B7E-3D0A51C4E827}"
        check("%s: template %s;1033, installer 5.0, per machine, 64-bit components, fixed UpgradeCode, ProductCode "
              "of version and processor, PATH, upgrade and downgrade rows, only into Program Files, versioned exes, "
              "component codes from their names, the keeper's component, rights set with the accounts Windows 7 "
              "reads, no script action, and the folders CheckFolder finds emptied"
              % (package.name, arch), [
                  "Template: %s;1033" % build_msi.PLATFORMS[arch] in info, "Version: 500 " in info,
                  properties.get("ALLUSERS") == "1", properties.get("UpgradeCode") == upgrade == identity.UPGRADE_CODE,
                  properties.get("ProductCode") == identity.product_code("1.2.3.0", arch) !=
                  identity.product_code("1.2.4.0", arch),
                  all(int(row[3]) & 256 for row in msi_table(package, "Component")),
                  ["Path", "=-*PATH", "[~];[PacecapFolder]", "Exe"] in msi_table(package, "Environment"),
                  ["PacecapFolder", "ProgramFiles64Folder", "Pacecap"] in msi_table(package, "Directory"),
                  sorted(msi_table(package, "Upgrade")) == [[upgrade, "0.0.0", "1.2.3.0", "", "768", "", "OLDERFOUND"],
                                                            [upgrade, "1.2.3.0", "", "", "2", "", "NEWERFOUND"]],
                  ["NOT NEWERFOUND", "A newer Pacecap is installed already; nothing was changed. Uninstall it first "
                   "to go back to this version."] in msi_table(package, "LaunchCondition"),
                  ["SetProgramFilesPacecap", "51", "ProgramFilesPacecap", "[%ProgramW6432]\\Pacecap\\", ""] in
                  msi_table(package, "CustomAction"),
                  ["RefuseOtherFolder", build_msi.OTHER_FOLDER, "1010"] in msi_table(package, "InstallExecuteSequence"),
                  # The exes by their version, as the file versioning rules compare it, and no hash, which is
                  # for unversioned files only.
                  [row[4] for row in msi_table(package, "File") if row[0] in INSIDE] == ["1.2.3.0"] * 2 and
                  not set(INSIDE) & {row[0] for row in msi_table(package, "MsiFileHash")},
                  # Each component's code comes from its name alone; the keeper's component holds the keeper.
                  all(row[1] == build_msi.component_code(row[0]) for row in msi_table(package, "Component")) and
                  ["Keeper", "PacecapKeep.exe"] in [[row[0], row[5]] for row in msi_table(package, "Component")],
                  # The folder and every file it holds, owned by Administrators with rights set, not inherited.
                  sorted((row[1], row[2]) for row in msi_table(package, "MsiLockPermissionsEx")
                         if row[3].startswith("O:BAD:P(A;")) ==
                  sorted([("PacecapFolder", "CreateFolder")] + [(row[0], "File") for row in msi_table(package, "File")]),
                  # Users may run Pacecap.exe, but not the task's keeper.
                  [";BU)" in row[3] for row in msi_table(package, "MsiLockPermissionsEx")
                   if row[1] in ("Pacecap.exe", "PacecapKeep.exe")] == [True, False],
                  # Every account of the rights by an alias Windows 7 reads, or by its SID.
                  all(trustee in OLDEST_ALIASES or trustee.startswith("S-1-") for row in
                      msi_table(package, "MsiLockPermissionsEx") for trustee in re.findall(r";([^;()]*)\)", row[3])),
                  # No script custom action (5 or 6 in the low three bits: JScript or VBScript, from
                  # any source), as Windows Installer brings no script engine; the one DLL is the task's.
                  not [row for row in msi_table(package, "CustomAction") if int(row[1]) & 7 in (5, 6)] and
                  [row[0] for row in msi_table(package, "Binary")] == ["TaskAction.dll"],
                  # What CheckFolder found, emptied: a leftover's files at install, the Task folder at uninstall.
                  sorted(msi_table(package, "RemoveFile")) == sorted(
                      [["%s_%s" % (prefix, key), "Exe", name, folder, mode]
                       for prefix, folder, mode in (("Leftover", "LEFTOVERFOLDER", "1"), ("Task", "TASKFOLDER", "2"))
                       for key, name in zip(build_msi.FILE_KEYS, build_msi.FILE_NAMES)] +
                      [["TaskFolder", "Exe", "", "TASKFOLDER", "2"]]),
                  # A user who is no administrator can give the service only the limits, never those folders.
                  properties.get("SecureCustomProperties") == "OLDERFOUND;NEWERFOUND;PLUGGEDIN;ONBATTERY",
                  ] == [True] * 20, info)
    sequence = {rows[0]: rows for rows in msi_table(packages[0], "InstallExecuteSequence")}
    for action, kind, source, target, condition, at in ACTIONS:
        rows = [([row for row in msi_table(p, "CustomAction") if row[0] == action],
                 [row for row in msi_table(p, "InstallExecuteSequence") if row[0] == action]) for p in packages]
        # The folder is looked into before anything changes; the task's own actions run inside the transaction.
        inside = int(sequence["InstallInitialize"][2]) < int(at) < int(sequence["InstallFinalize"][2])
        check("custom action %s: type %s, %s, when %s, at %s" % (action, kind, target, condition, at),
              all(row == ([[action, kind, source, target, ""]], [[action, condition, at]]) for row in rows) and
              inside == (action != "CheckFolder"), rows)
    conditions = [row[0] for row in msi_table(packages[0], "LaunchCondition")]
    check("launch conditions, which run before anything changes, refuse limits outside 0 to 100", all(
              "NOT %s OR (%s >= 0 AND %s <= 100)" % (name, name, name) in conditions
              for name in ("PLUGGEDIN", "ONBATTERY")) and
          int(sequence["LaunchConditions"][2]) < int(sequence["InstallInitialize"][2]), conditions)


def workflow_url_base(tag):
    """The URL base that the release workflow gives scripts/release for tag, on github.com/owner/pacecap."""
    steps = yaml.safe_load((ROOT / ".github" / "workflows" / "release.yml").read_text())["jobs"]["build"]["steps"]
    url = next(step["env"]["URL_BASE"] for step in steps if "URL_BASE" in step.get("env", {}))
    context = {"server_url": "https://github.com", "repository": "owner/pacecap", "ref_name": tag}
    return re.sub(r"\$\{\{ *github\.(\w+) *\}\}", lambda name: context[name[1]], url)


def scoop_update(text, version, url=""):
    """text with Scoop's autoupdate variables for version put in (and, for a hash's, those of the new url), as
    its Get-VersionSubstitution and get_hash_for_app name them; the longer names first."""
    head = re.match(r"\d+\.\d+(?:\.\d+)?", version)
    names = dict(zip(("$majorVersion", "$minorVersion", "$patchVersion", "$buildVersion"), version.split(".")))
    names.update({"$version": version, "$dotVersion": version, "$underscoreVersion": version.replace(".", "_"),
                  "$dashVersion": version.replace(".", "-"), "$cleanVersion": version.replace(".", ""),
                  "$matchHead": head[0], "$matchTail": version[head.end():], "$url": url,
                  "$baseurl": url.rpartition("/")[0], "$basename": url.rpartition("/")[2]})
    for name in sorted(names, key=len, reverse=True):
        text = text.replace(name, names[name])
    return text


def signs_scripts():
    """Whether this osslsigncode signs PowerShell scripts (2.8 on)."""
    version = re.match(r"osslsigncode (\d+)\.(\d+)", run(["osslsigncode", "--version"]).stdout)
    return bool(version) and (int(version[1]), int(version[2])) >= (2, 8)


def signed_script(data):
    """A signed script's own bytes, before the signature block that is appended to it."""
    head, block, _ = data.partition(b"# SIG # Begin signature block")
    return head.rstrip(b"\r\n") + b"\n" if block else None


def bundle(work, pki):
    dist = work / "dist"
    done = run([str(ROOT / "scripts" / "release"), "--out", str(dist), "--url-base", URL_BASE] + sign_args(pki))
    check("release command succeeds", done.returncode == 0, done.stderr[-400:])
    if not all((dist / exe_name).exists() for _, exe_name, *_ in TARGETS):
        return
    scripts = sorted((ROOT / "deploy").glob("*.ps1"))
    zips = [dist / ("Pacecap-1.0.0.0-%s.zip" % suffix) for _, _, suffix, *_ in TARGETS]
    exes = [name for t in TARGETS for name in (t[1], KEEPERS[t[0]])]
    packages = [dist / ("Pacecap-1.0.0.0-%s.msi" % arch) for arch, *_ in TARGETS]
    # Each released script is its source with the one line that dot-sources
    # the shared part replaced by that part's bytes, and the line that reads
    # the task's definition by a here-string of its bytes.
    shared = (ROOT / "deploy" / "shared" / "PacecapShared.ps1").read_bytes()
    dot_source = b'. "$PSScriptRoot\\shared\\PacecapShared.ps1"\n'
    task = b"$TaskXml = @'\n" + (ROOT / "deploy" / "shared" / "PacecapTask.xml").read_bytes() + b"\n'@\n"
    alone = {s.name: s.read_bytes().replace(dot_source, shared).replace(b"$TaskXml = $null\n", task) for s in scripts}
    check("Register-PacecapTask.ps1 reads the task's definition on one line of its own",
          (ROOT / "deploy" / "Register-PacecapTask.ps1").read_bytes().splitlines().count(b"$TaskXml = $null") == 1)
    check("each roll-out script dot-sources the shared part on exactly one line of its own",
          all(s.read_bytes().splitlines(keepends=True).count(dot_source) == 1 for s in scripts))
    released = {s.name: (dist / s.name).read_bytes() for s in scripts}
    info = (dist / "BUILDINFO").read_text()
    unsigned_note = "the roll-out scripts of this release are unsigned: osslsigncode"
    if signs_scripts():
        check("each released script is signed and verifies, its own text unchanged before the signature",
              all(verify(dist / s.name, pki["ca.pem"]).returncode == 0 and
                  signed_script(released[s.name]) == alone[s.name] and released[s.name].isascii() for s in scripts) and
              unsigned_note not in info, [verify(dist / s.name, pki["ca.pem"]).stdout[-300:] for s in scripts])
    else:
        check("an osslsigncode before 2.8 leaves the scripts unsigned, and the release says so first and in BUILDINFO",
              all(released[s.name] == alone[s.name] for s in scripts) and
              done.stderr.startswith("release: " + unsigned_note) and unsigned_note in info, done.stderr[-400:])
    winget = dist / "winget" / "manifests" / WINGET / "1.0.0.0"
    manifests = {kind: (winget / ("PacecapProject.Pacecap." + name)).read_text() for name, kind in MANIFESTS}
    installer = yaml.safe_load(manifests["installer"])
    scoop = json.loads((dist / "scoop" / "pacecap.json").read_text())
    for (arch, exe_name, _, scoop_arch, machine), archive, package in zip(TARGETS, zips, packages):
        # Each exe signed as scripts/sign signs: SHA-1, then SHA-256 nested, both time-stamped; its signature
        # removed gives back the build's unsigned exe, whose hash BUILDINFO names.
        inside = dict(zip(INSIDE, (dist / exe_name, dist / KEEPERS[arch])))
        for name, exe in inside.items():
            unsigned = work / ("unsigned-" + exe.name)
            run(["osslsigncode", "remove-signature", "-in", str(exe), "-out", str(unsigned)])
            out = verify(exe, pki["ca.pem"]).stdout
            check("%s: signed (SHA-1, SHA-256 nested, both time-stamped), machine 0x%X, and BUILDINFO names its "
                  "unsigned hash" % (exe.name, machine), "Number of verified signatures: 2" in out and
                  re.findall(r"Message digest algorithm  : (\w+)", out) == ["SHA1", "SHA256"] and
                  out.count("Timestamp Server Signature verification: ok") == 2 and
                  pefile.PE(str(exe)).FILE_HEADER.Machine == machine and
                  "sha256 of the unsigned %s %s: %s\n" % (arch, name, sha(unsigned)) in info, out[-600:] + info)
        with zipfile.ZipFile(archive) as opened:
            check("%s holds %s and %s as %s and beside them the roll-out scripts as released" %
                  (archive.name, exe_name, KEEPERS[arch], " and ".join(inside)), len(scripts) >= 3 and
                  opened.namelist() == list(inside) + [s.name for s in scripts] and
                  all(opened.read(name) == exe.read_bytes() for name, exe in inside.items()) and
                  all(opened.read(s.name) == released[s.name] for s in scripts))
        extracted = work / ("extracted-" + arch)
        extracted.mkdir()
        # msiextract writes the Binary streams below its current folder, whatever -C says.
        run(["msiextract", "-C", str(extracted), str(package)], cwd=work)
        files = {path.name: path.read_bytes() for path in extracted.rglob("*") if path.is_file()}
        check("%s: signed, and holds %s and %s as %s and the scripts as released, byte for byte" %
              (package.name, exe_name, KEEPERS[arch], " and ".join(inside)), verify(package, pki["ca.pem"]).returncode
              == 0 and files == dict({name: exe.read_bytes() for name, exe in inside.items()}, **released),
              sorted(files))
        action = work / ("TaskAction-%s.dll" % arch)
        action.write_bytes(subprocess.run(["msiinfo", "extract", str(package),
                                           "Binary.TaskAction.dll"], capture_output=True).stdout)
        check("%s: its task action is signed before it is packed, for machine 0x%X, and under 10240 bytes "
              "unsigned" % (package.name, machine), verify(action, pki["ca.pem"]).returncode == 0 and
              pefile.PE(str(action)).FILE_HEADER.Machine == machine and
              pefile.PE(str(action)).OPTIONAL_HEADER.DATA_DIRECTORY[4].VirtualAddress < 10240, action.stat().st_size)
        base = "https://example.invalid/1.0.0.0/"
        check("winget's %s installers, the package for the machine before the zip; Scoop's %s entry"
              % (arch, scoop_arch),
              [i for i in installer["Installers"] if i["Architecture"] == arch] == [
                  {"Architecture": arch, "InstallerType": "msi", "Scope": "machine",
                   "InstallerUrl": base + package.name, "InstallerSha256": sha(package).upper(),
                   "ProductCode": identity.product_code("1.0.0.0", arch),
                   "AppsAndFeaturesEntries": [{"UpgradeCode": identity.UPGRADE_CODE}]},
                  {"Architecture": arch, "InstallerType": "zip", "NestedInstallerType": "portable",
                   "NestedInstallerFiles": [{"RelativeFilePath": "Pacecap.exe", "PortableCommandAlias": "pacecap"}],
                   "InstallerUrl": base + archive.name, "InstallerSha256": sha(archive).upper()}] and
              scoop["architecture"].get(scoop_arch) == {"url": base + archive.name, "hash": sha(archive)},
              installer["Installers"])
    sums = dict(reversed(line.split("  ")) for line in (dist / "SHA256SUMS").read_text().splitlines())
    check("SHA256SUMS lists the four exes, the scripts, both zips and both packages",
          sums == {p.name: sha(p) for p in [dist / name for name in exes] + [dist / s.name for s in scripts] +
                   zips + packages})
    check("winget: three manifests of 1.12.0, each naming its schema on its first line; all packages first",
          all(text.startswith("# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.1.12.0.schema.json\n"
                              % kind) and yaml.safe_load(text)["ManifestVersion"] == "1.12.0"
              for kind, text in manifests.items()) and
          [i["InstallerType"] for i in installer["Installers"]] == ["msi", "msi", "zip", "zip"], manifests)
    documents = [(yaml.safe_load(manifests[kind]), "manifest.%s.1.12.0.json" % kind) for _, kind in MANIFESTS]
    documents.append((scoop, "scoop.schema.json"))
    faults = [fault for document, schema in documents for fault in schema_faults(document, schema)]
    broken = [schema_faults(dict(installer, Installers=[dict(installer["Installers"][0], Scope="everyone")]),
                            "manifest.installer.1.12.0.json"),
              schema_faults(dict(scoop, checkver={"jsonpath": 1}), "scoop.schema.json")]
    check("the winget and Scoop manifests keep to the package managers' own schemas, which catch faults",
          not faults and all(broken) and scoop["version"] == "1.0.0.0" and
          scoop["checkver"] == {"url": "https://example.invalid/latest/pacecap.json", "jsonpath": "$.version"} and
          scoop["autoupdate"]["architecture"]["arm64"] == {
              "url": "https://example.invalid/$version/Pacecap-$version-arm64.zip"}, faults + broken)
    check("BUILDINFO names the commit and the toolchain's packages",
          run(["git", "rev-parse", "HEAD"], cwd=ROOT).stdout.strip() in info and
          all("\n%s " % package in info for package in ("cmake", "ninja-build", "mingw-w64-x86-64-dev", "wixl",
                                                           "msitools", "faketime")) and
          all("\n%s-" % package in info for package in ("clang", "lld", "llvm")), info)

    # As the release workflow makes it for tag v1.2.3.0 (the version is the tag without its v).
    plain = work / "plain"
    done = run([str(ROOT / "scripts" / "release"), "--out", str(plain), "--version", "1.2.3.0",
                "--url-base", workflow_url_base("v1.2.3.0")])
    unsigned = pefile.PE(str(plain / "Pacecap.exe"))
    packages = [plain / ("Pacecap-1.2.3.0-%s.msi" % arch) for arch, *_ in TARGETS]
    check("without a certificate the release is unsigned, packages included", done.returncode == 0 and all(
        pefile.PE(str(plain / name)).OPTIONAL_HEADER.DATA_DIRECTORY[4].Size == 0 for name in exes) and all(
        package.exists() and "DigitalSignature" not in run(["msiinfo", "streams", str(package)]).stdout
        for package in packages))
    strings = {k.decode(): v.decode() for info in unsigned.FileInfo[0] if info.Key == b"StringFileInfo"
               for table in info.StringTable for k, v in table.entries.items()}
    winget = plain / "winget" / "manifests" / WINGET / "1.2.3.0"
    check("--version 1.2.3.0: the version resources, the zips, the packages and the manifests say 1.2.3.0",
          all(identity.file_version(plain / name) == "1.2.3.0" for name in exes) and
          all((plain / ("Pacecap-1.2.3.0-%s.zip" % t[2])).exists() for t in TARGETS) and
          all(["ProductVersion", "1.2.3.0"] in msi_table(package, "Property") for package in packages) and
          (strings["FileVersion"], strings["ProductVersion"]) == ("1,2,3,0", "1,2,3,0") and
          "PackageVersion: 1.2.3.0" in (winget / "PacecapProject.Pacecap.installer.yaml").read_text() and
          json.loads((plain / "scoop" / "pacecap.json").read_text())["version"] == "1.2.3.0", strings)
    package_tables(packages)
    again = work / "plain-again"
    run([str(ROOT / "scripts" / "release"), "--out", str(again), "--version", "1.2.3.0"])
    info = (plain / "BUILDINFO").read_text()
    check("two unsigned releases of one commit give byte-identical packages, whose hashes BUILDINFO names",
          all((again / p.name).exists() and (again / p.name).read_bytes() == p.read_bytes() and
              "sha256 of the unsigned %s package: %s\n" % (arch, sha(p)) in info
              for (arch, *_), p in zip(TARGETS, packages)), info)
    # Scoop finds the next release, v1.2.4.0, by the first one's checkver; its autoupdate then names that
    # release's zips, in the tag's folder on GitHub, and the SHA256SUMS beside them.
    later = work / "next"
    run([str(ROOT / "scripts" / "release"), "--out", str(later), "--version", "1.2.4.0",
         "--url-base", workflow_url_base("v1.2.4.0")])
    first, then = (json.loads((folder / "scoop" / "pacecap.json").read_text()) for folder in (plain, later))
    urls = lambda manifest: {arch: entry["url"] for arch, entry in manifest["architecture"].items()}  # noqa: E731
    update = lambda version: {arch: scoop_update(url, version)  # noqa: E731
                              for arch, url in urls(first["autoupdate"]).items()}
    folder, sums = "https://github.com/owner/pacecap/releases/download/v1.2.4.0/", (later / "SHA256SUMS").read_text()
    names = {arch: "Pacecap-1.2.4.0-%s.zip" % suffix for _, _, suffix, arch, _ in TARGETS}
    check("Scoop: a release's checkver reads the latest release's pacecap.json, and its autoupdate gives its own "
          "zips and the next release's, with their hashes in the SHA256SUMS beside them", first["checkver"] ==
          then["checkver"] == {"url": "https://github.com/owner/pacecap/releases/latest/download/pacecap.json",
                               "jsonpath": "$.version"} and then["version"] == "1.2.4.0" and
          (later / "scoop" / "pacecap.json").is_file() and update("1.2.3.0") == urls(first) and
          update("1.2.4.0") == urls(then) == {arch: folder + name for arch, name in names.items()} and all(
              (later / name).is_file() and "%s  %s\n" % (sha(later / name), name) in sums and
              scoop_update(first["autoupdate"]["hash"]["url"], "1.2.4.0", folder + name) == folder + "SHA256SUMS"
              for name in names.values()), [first, then])

    # The same files, with another time and mode and given in another order,
    # give the same zips; an exe or a keeper for the other machine is refused.
    bundle_run = lambda folder: run([  # noqa: E731
        "/usr/bin/python3", str(ROOT / "release" / "bundle.py"), str(folder), str(ROOT / "src" / "Maker.h"),
        "http://example.invalid"] + [folder / "deploy" / s.name for s in reversed(scripts)])
    # (folder, the two files that trade places in it, the refusal)
    swaps = [("swapped", ("Pacecap.exe", "Pacecap-arm64.exe"), "Pacecap.exe is for machine 0xAA64, not 0x8664"),
             ("swapped-keepers", ("PacecapKeep.exe", "PacecapKeep-arm64.exe"),
              "PacecapKeep.exe is for machine 0xAA64, not 0x8664")]
    again = work / "again"
    for folder, traded in [(again, ())] + [(work / name, traded) for name, traded, _ in swaps]:
        shutil.copytree(ROOT / "deploy", folder / "deploy")
        for name in exes:
            os.chmod(shutil.copy(plain / dict(zip(traded, reversed(traded))).get(name, name), folder / name), 0o600)
            os.utime(folder / name, (1e9, 1e9))
    bundle_run(again)
    check("the zips are reproducible", all(
        (again / name).exists() and (again / name).read_bytes() == (plain / name).read_bytes()
        for name in ("Pacecap-1.2.3.0-%s.zip" % t[2] for t in TARGETS)))
    for name, traded, refusal in swaps:
        done = bundle_run(work / name)
        check("%s for the other machine is refused, and nothing written" % traded[0], done.returncode != 0 and
              refusal in done.stderr and sorted(p.name for p in (work / name).iterdir()) == sorted(exes + ["deploy"]),
              done.stderr)

    # Bad input is refused before anything is built or written.
    for version, why in (("", "the version must be X.Y.Z.W, four numbers from 0 to 65535"),
                         ("1.2.3.65536", "the version must be X.Y.Z.W, four numbers from 0 to 65535"),
                         ("1.256.0.0", "Windows Installer takes X and Y up to 255 only"),
                         ("1.2.3.4", "Windows Installer compares X.Y.Z only, so W must be 0 (release X.Y.Z+1.0 "
                          "instead)")):
        refused = work / "refused"
        done = run([str(ROOT / "scripts" / "release"), "--out", str(refused), "--version", version])
        check("--version %r is refused" % version, done.returncode == 2 and not refused.exists() and
              done.stderr == "release: %s: '%s'\n" % (why, version), done.stderr)
    tree = work / "non-ascii"
    shutil.copytree(ROOT / "deploy", tree / "deploy")
    shutil.copytree(ROOT / "scripts", tree / "scripts")
    shutil.copytree(ROOT / "tools", tree / "tools")
    with (tree / "deploy" / "shared" / "PacecapShared.ps1").open("a", encoding="utf-8") as script:
        script.write("# caf\u00e9\n")
    done = run([str(tree / "scripts" / "release"), "--out", str(refused)])
    check("a shared part that is not ASCII is refused", done.returncode == 2 and not refused.exists() and
          "the roll-out scripts must be pure ASCII" in done.stderr and "PacecapShared.ps1" in done.stderr, done.stderr)


def main():
    os.environ["no_proxy"] = "127.0.0.1"
    work = Path(tempfile.mkdtemp(prefix="pacecap-release-"))
    try:
        with checks(len(TARGETS), "reproducible build"):
            unsigned = reproducible(work)
        pki = make_pki(work)
        other = work / "other"
        other.mkdir()
        other_pki = make_pki(other, "-other")
        with time_stamp_authority(work, pki) as pki["tsa.url"]:
            with checks(12, "signing"):
                signing(work, unsigned, pki, other_pki)
            with checks(35 + len(ACTIONS), "release bundle"):
                bundle(work, pki)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (results["passed"], results["failed"]))
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
