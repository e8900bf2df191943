#!/usr/bin/python3
"""Builds the Windows Installer package of one processor from
installer/Pacecap.wxs: wixl makes the database, then msibuild adds only what
wixl cannot say. The version comes from the exe's version resource, the
maker from src/Maker.h, the times from the commit (SOURCE_DATE_EPOCH, else
the last commit's time), so that the same files give the same package.

Usage: build_msi.py x64|arm64 EXE KEEPER TASK_ACTION_DLL SCRIPT_FOLDER OUT_DIR
EXE and KEEPER are Pacecap.exe and PacecapKeep.exe for that processor, as
released (signed when the release is). TASK_ACTION_DLL is the task's custom
action (installer/TaskAction/) for that processor, signed when the release
is. SCRIPT_FOLDER holds the three roll-out scripts as released (standing
alone, signed when the release is). Writes OUT_DIR/Pacecap-VERSION-x64.msi
(or -arm64.msi) and prints its path.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
from release.identity import UPGRADE_CODE, file_version, guid, maker, product_code, sha256  # noqa: E402

SCRIPTS = ["Detect-Pacecap.ps1", "Register-PacecapTask.ps1", "Remediate-Pacecap.ps1"]
# When the install folder is not the one the scripts trust (Wine reads no
# "~<>", so the case-blind test is written out).
OTHER_FOLDER = "PacecapFolder <> ProgramFilesPacecap AND NOT PacecapFolder ~= ProgramFilesPacecap"
# The File table's keys, as wixl makes them from the .wxs.
FILE_KEYS = ["Pacecap.exe", "PacecapKeep.exe", "Detect_Pacecap.ps1", "Register_PacecapTask.ps1",
             "Remediate_Pacecap.ps1"]
FILE_NAMES = ["Pacecap.exe", "PacecapKeep.exe"] + SCRIPTS
TRUSTED_INSTALLER = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
# Windows Installer's name for each processor in the package's Template.
PLATFORMS = {"x64": "x64", "arm64": "Arm64"}


def component_code(name):
    """One per component for good: the same file at the same place keeps its
    component across versions and processors, as the component rules ask."""
    return guid("Component " + name)


def commit_time():
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    done = subprocess.run(["git", "-c", "safe.directory=%s" % ROOT, "-C", str(ROOT), "log", "-1", "--format=%ct"],
                          capture_output=True, text=True)
    return int(done.stdout.strip() or 0)


def post_step(version):
    """What wixl cannot say, as SQL on the database it built."""
    return [
    # The install folder on the machine PATH: "=-*" sets it at install and
    # takes it away at uninstall, in the system environment; "[~];" appends
    # it, and uninstall removes only what it appended.
    "CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL, "
    "`Value` CHAR(255), `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)",
    "INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) "
    "VALUES ('Path', '=-*PATH', '[~];[PacecapFolder]', 'Exe')",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)",
    # An error action (19) that ends the install, before anything changes,
    # where the folder is not ProgramW6432's Pacecap, even ignoring case
    # (wixl has no Error).
    "INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) VALUES ('RefuseOtherFolder', 19, "
    "'Pacecap installs only into [ProgramFilesPacecap], the folder the roll-out scripts trust; nothing was changed.')",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
    "VALUES ('RefuseOtherFolder', '%s', 1010)" % OTHER_FOLDER,
    # The task's actions: a function of a DLL in the Binary table (1), run
    # deferred (1024) as SYSTEM (2048), the rollback ones (256) only when the
    # install is undone, the commit ones (512) only when it succeeded; wixl
    # leaves out these flags. (A query each: msibuild changes only the first
    # row of an OR.)
    ] + [
    "UPDATE `CustomAction` SET `Type` = %d WHERE `Action` = '%s'" % (kind, action) for kind, action in (
        (3329, "UndoRegisterTask"), (3329, "UndoRemoveTask"), (3585, "ForgetRegisterTask"),
        (3585, "ForgetRemoveTask"))
    # What CheckFolder found, emptied (wixl's RemoveFile takes no property):
    # a leftover install folder's files as the install begins (1), as
    # CheckFolder found only an earlier Pacecap's files there, so that the
    # package writes them anew with its rights; and at uninstall (2) the
    # Task folder that Register-PacecapTask.ps1 made, its files and itself.
    # Each property is set only for a folder that is no link. A row a name,
    # not a wildcard, which Wine's msi does not expand.
    ] + [
    "INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) "
    "VALUES ('%s_%s', 'Exe', '%s', '%s', %d)" % (prefix, key, name, folder, mode)
    for prefix, folder, mode in (("Leftover", "LEFTOVERFOLDER", 1), ("Task", "TASKFOLDER", 2))
    for key, name in zip(FILE_KEYS, FILE_NAMES)
    ] + [
    "INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `DirProperty`, `InstallMode`) "
    "VALUES ('TaskFolder', 'Exe', 'TASKFOLDER', 2)",
    # The Set actions only set a property (51); wixl adds a flag that has no
    # meaning there.
    "UPDATE `CustomAction` SET `Type` = 51 WHERE `Type` = 2099",
    # Versions up to this one's, this one's included (256 + 512): an install
    # of the other processor's package of the same version is replaced too.
    # (Attributes is part of the key: the row is written anew.)
    "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'OLDERFOUND'",
    "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes`, `ActionProperty`) "
    "VALUES ('%s', '0.0.0', '%s', 768, 'OLDERFOUND')" % (UPGRADE_CODE, version),
    # Given on the command line, they must reach the installer service. Not
    # CheckFolder's folders: the service's own CheckFolder sets them, and one
    # that a user who is no administrator gave (a repair) would name where
    # RemoveFiles deletes as SYSTEM.
    "UPDATE `Property` SET `Value` = 'OLDERFOUND;NEWERFOUND;PLUGGEDIN;ONBATTERY' "
    "WHERE `Property` = 'SecureCustomProperties'",
    # The exe is a versioned file (wixl leaves its version out), so the file
    # versioning rules compare versions; a file hash is for unversioned
    # files only.
    "UPDATE `File` SET `Version` = '%s' WHERE `File` = 'Pacecap.exe'" % version,
    "DELETE FROM `MsiFileHash` WHERE `File_` = 'Pacecap.exe'",
    # The keeper likewise (a query each: msibuild deletes only the first row of an OR).
    "UPDATE `File` SET `Version` = '%s' WHERE `File` = 'PacecapKeep.exe'" % version,
    "DELETE FROM `MsiFileHash` WHERE `File_` = 'PacecapKeep.exe'",
    # The folder and each file get the rights of Program Files itself, set
    # and not inherited, as the package writes them (a folder that was there
    # before is refused, one of an earlier Pacecap emptied): the task runs the
    # installed keeper as SYSTEM.
    "CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, `LockObject` CHAR(72) NOT NULL, "
    "`Table` CHAR(32) NOT NULL, `SDDLText` LONGCHAR NOT NULL, `Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)",
    "INSERT INTO `CreateFolder` (`Directory_`, `Component_`) VALUES ('PacecapFolder', 'Exe')",
    "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDLText`) "
    "VALUES ('LockFolder', 'PacecapFolder', 'CreateFolder', '%s')" % sddl("OICI"),
    ] + [
    "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDLText`) "
    "VALUES ('Lock%s', '%s', 'File', '%s')" % (key, key, sddl("", key != "PacecapKeep.exe")) for key in FILE_KEYS
    ] + [
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveFolders', 3600)",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('CreateFolders', 3700)",
    ]


def sddl(inherit, users=True):
    """Owned by Administrators; full control for SYSTEM, Administrators and
    TrustedInstaller, and with users, read and run (0x1200A9) for Users and
    for all app packages, restricted ones too, as in Program Files;
    protected (P) from the entries above it. inherit: "OICI" for a folder,
    "" for a file. All app packages by SID: Windows 7 does not know the alias
    AC (error 1943). The keeper is the task's alone: its own scheme changes
    start no run of the task, so one that a user could run would set limits
    that the task leaves in place."""
    readers = [("0x1200a9", "BU"), ("0x1200a9", "S-1-15-2-1"), ("0x1200a9", "S-1-15-2-2")] if users else []
    return "O:BAD:P" + "".join("(A;%s;%s;;;%s)" % (inherit, rights, sid) for rights, sid in [
        ("FA", "SY"), ("FA", "BA"), ("FA", TRUSTED_INSTALLER)] + readers)


def build(arch, exe, keeper, task_action, script_folder, out_dir):
    version = file_version(exe)
    major, minor = (int(field) for field in version.split(".")[:2])
    if major > 255 or minor > 255:
        sys.exit("build_msi: Windows Installer takes versions up to 255.255.65535: %s" % version)
    name, web = maker(ROOT / "src" / "Maker.h")
    stamp = commit_time()
    with tempfile.TemporaryDirectory() as scratch:
        # The cabinet keeps each file's time: the commit's.
        stage = Path(scratch)
        shutil.copy(exe, stage / "Pacecap.exe")
        shutil.copy(keeper, stage / "PacecapKeep.exe")
        for script in SCRIPTS:
            shutil.copy(Path(script_folder) / script, stage / script)
        shutil.copy(ROOT / "res" / "Pacecap.ico", stage / "Pacecap.ico")
        shutil.copy(task_action, stage / "TaskAction.dll")
        for path in stage.iterdir():
            os.utime(path, (stamp, stamp))
        defines = {"ProductCode": product_code(version, arch), "UpgradeCode": UPGRADE_CODE, "Version": version,
                   "Maker": name, "Web": web}
        defines.update({part + "Guid": component_code(part)
                        for part in ("Exe", "Keeper", "Detect", "Register", "Remediate")})
        database = stage / "Pacecap.msi"
        # wixl stamps the clock into the summary information: the commit's
        # time instead, in UTC, and standing still.
        clock = ["faketime", "-f", time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(stamp))]
        env = dict(os.environ, TZ="UTC")
        # wixl has no ARM64: the x64 database, with the Template of the
        # processor, is the ARM64 package (its components are 64-bit).
        steps = [["wixl", "-a", "x64", "-o", str(database)] +
                 [arg for item in sorted(defines.items()) for arg in ("-D", "%s=%s" % item)] +
                 [str(ROOT / "installer" / "Pacecap.wxs")]]
        steps += [["msibuild", str(database), "-q", query] for query in post_step(version)]
        # The package code names these exact bytes: it comes from all that
        # makes them (the files, the source, the values, the post-step), so
        # two builds of the same agree and any change gives a new one.
        source = (ROOT / "installer" / "Pacecap.wxs").read_bytes() + repr(
            (sorted(defines.items()), post_step(version), stamp)).encode()
        package = guid("Package %s %s %s" % (version, arch, " ".join(
            [sha256(path) for path in sorted(stage.iterdir()) if path != database] +
            [hashlib.sha256(source).hexdigest()])))
        steps.append(["msibuild", str(database), "-s", "Pacecap %s" % version, name,
                      "%s;1033" % PLATFORMS[arch], package])
        for step in steps:
            done = subprocess.run(clock + step, cwd=stage, env=env, capture_output=True, text=True)
            if done.returncode != 0:
                sys.exit("build_msi: %s failed:\n%s%s" % (" ".join(step[-2:]), done.stdout, done.stderr[-300:]))
        out = Path(out_dir) / ("Pacecap-%s-%s.msi" % (version, arch))
        shutil.copy(database, out)
        return out


def main():
    if len(sys.argv) != 7 or sys.argv[1] not in PLATFORMS:
        sys.exit(__doc__)
    print(build(sys.argv[1], *(Path(arg) for arg in sys.argv[2:])))


if __name__ == "__main__":
    main()
