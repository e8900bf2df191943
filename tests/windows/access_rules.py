"""Folders and their access rules: the job's protected folders, a path's owner
and rules as Windows reads them, and the copies that REFUSALS' rows make to be
refused."""
import collections
import contextlib
import os
import secrets
import shutil
import subprocess
import sys
from pathlib import Path

from harness import ROOT, RUN_TIMEOUT, check, poll, powershell, ps_quote


SYSTEM_SID = "S-1-5-18"
ADMINISTRATORS_SID = "S-1-5-32-544"
USERS_SID = "S-1-5-32-545"
TRUSTED_INSTALLER_SID = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
# Who may change what SYSTEM runs; CREATOR OWNER and OWNER RIGHTS rules grant
# nothing of their own.
TRUSTED_SIDS = {SYSTEM_SID, ADMINISTRATORS_SID, TRUSTED_INSTALLER_SID}
PLACEHOLDER_SIDS = {"S-1-3-0", "S-1-3-4"}
# File system rights with which a holder can replace, move aside or re-permit
# a file or folder: write or append data (add a file or subfolder), write
# extended attributes, delete children, write attributes, delete, change
# permissions, take ownership, and the generic all and write rights.
WRITE_RIGHTS = 0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 | 0x10000000 | 0x40000000
INHERIT_ONLY = 0x2  # PropagationFlags: the rule applies only to children

Rule = collections.namedtuple("Rule", "sid rights allow inherited inherit_only")


def removed(folder, timeout=10):
    """Removes folder and all in it; tries again for a while, since a
    scanner may still hold a file that was just written. True when gone."""
    def attempt():
        shutil.rmtree(folder, ignore_errors=True)
        return not folder.exists()
    return poll(attempt, timeout)


def icacls(path, *args):
    subprocess.run(["icacls", str(path)] + list(args), check=True, capture_output=True, timeout=RUN_TIMEOUT)


@contextlib.contextmanager
def protected_folder():
    """A new folder under %ProgramFiles% that only SYSTEM and Administrators
    can change, as Program Files itself. Its rules are set, not inherited:
    Program Files' CREATOR OWNER rule would give the job's own account full
    control of it, which the roll-out scripts running as SYSTEM rightly do
    not trust. Removed afterwards, and checked to be gone."""
    root = Path(os.environ["ProgramFiles"]) / ("PacecapTest-" + secrets.token_hex(4))
    root.mkdir()
    try:
        icacls(root, "/grant:r", "*%s:(OI)(CI)F" % SYSTEM_SID, "*%s:(OI)(CI)F" % ADMINISTRATORS_SID,
               "*%s:(OI)(CI)RX" % USERS_SID)
        icacls(root, "/inheritance:r")
        yield root
    finally:
        check("the job's folder %s is removed" % root, removed(root))


class Layout:
    """What the job puts in its protected folder. Copies are made with
    copyfile, so each new file takes its folder's inherited rules; then all
    is given to Administrators, whoever the job's token names as owner of
    what it makes, so that only the rules below make a difference.
      bin          the exe under test, and the kit's PacecapKeep.exe
      scripts      the roll-out scripts alone, as the release ships them
      kit          the same scripts with the exe beside them
      marker       RunMarker.exe named Pacecap.exe
      user-writable              Users may modify it, and it holds a marker
      user-writable/admin-only   only SYSTEM and Administrators, no inherited
                                 rules, and another marker
      runs         what the runs as SYSTEM write, one folder each"""

    def __init__(self, root, exe, kit):
        self.root = root
        self.bin, self.scripts, self.kit = root / "bin", root / "scripts", root / "kit"
        self.marker, self.user_writable, self.runs = root / "marker", root / "user-writable", root / "runs"
        self.admin_only = self.user_writable / "admin-only"
        for folder in (self.bin, self.scripts, self.kit, self.marker, self.user_writable, self.runs):
            folder.mkdir()
        self.run_marker = kit / "RunMarker.exe"
        for folder in (self.bin, self.kit):
            shutil.copyfile(exe, folder / "Pacecap.exe")
        shutil.copyfile(kit / "PacecapKeep.exe", self.bin / "PacecapKeep.exe")
        for folder in (self.scripts, self.kit):
            subprocess.run([sys.executable, str(ROOT / "release" / "standalone.py"), str(folder)], check=True,
                           capture_output=True, timeout=RUN_TIMEOUT)
        icacls(self.user_writable, "/grant", "*%s:(OI)(CI)M" % USERS_SID)
        self.admin_only.mkdir()
        icacls(self.admin_only, "/grant:r", "*%s:(OI)(CI)F" % SYSTEM_SID, "*%s:(OI)(CI)F" % ADMINISTRATORS_SID)
        icacls(self.admin_only, "/inheritance:r")
        for folder in (self.marker, self.user_writable, self.admin_only):
            shutil.copyfile(self.run_marker, folder / "Pacecap.exe")
        icacls(root, "/setowner", "*%s" % ADMINISTRATORS_SID, "/T")

    @staticmethod
    def ran(folder):
        """The file that RunMarker leaves beside itself when it is started."""
        return folder / "Pacecap.exe.ran"


def parse_security(text):
    """(owner SID, access rules) from what security prints: the owner's SID,
    then one "SID rights type inherited propagation" line per rule."""
    lines = text.splitlines()
    rules = []
    for line in lines[1:]:
        sid, rights, kind, inherited, propagation = line.split()
        rules.append(Rule(sid, int(rights) & 0xFFFFFFFF, kind == "Allow", inherited == "True",
                          bool(int(propagation) & INHERIT_ONLY)))
    return (lines[0].strip() if lines else None), rules


def security(path):
    """(owner SID, access rules) of a file or folder."""
    ran = powershell(
        "$ErrorActionPreference = 'Stop'\n"
        "$sid = [System.Security.Principal.SecurityIdentifier]\n"
        "$acl = Get-Acl -LiteralPath %s\n"
        "$acl.GetOwner($sid).Value\n"
        "foreach ($rule in $acl.GetAccessRules($true, $true, $sid)) {\n"
        "    '{0} {1} {2} {3} {4}' -f $rule.IdentityReference.Value, [int]$rule.FileSystemRights,"
        " $rule.AccessControlType, $rule.IsInherited, [int]$rule.PropagationFlags\n"
        "}" % ps_quote(path))
    if ran.code != 0:
        raise RuntimeError("the security of %s could not be read: %s" % (path, ran.err))
    return parse_security(ran.out)


def untrusted_writes(rules):
    """The rules that let anyone but SYSTEM, Administrators and
    TrustedInstaller replace, move aside or re-permit the item itself (rules
    only for its children do not count)."""
    return [rule for rule in rules if rule.allow and not rule.inherit_only and rule.rights & WRITE_RIGHTS
            and rule.sid not in TRUSTED_SIDS | PLACEHOLDER_SIDS]


# Each refused as SYSTEM: exit 4 and no marker started. A row: what it shows,
# the candidate that -Pacecap names, and the steps that make it under a new
# folder in the job's protected one, in order: a path ending in .exe is a
# marker copy, any other a folder; the grant, if any, is icacls' own syntax,
# {account} standing for a new standard local account's SID. Folders get
# their grants before what is in them is made, so that inherited rules reach it.
USERS = "*" + USERS_SID
REFUSALS = [
    ("Users may only write the file's attributes", "attributes/Pacecap.exe",
     [("attributes", None), ("attributes/Pacecap.exe", USERS + ":(WA)")]),
    ("a [x] folder beside a folder x that Users may change", "[x]/Pacecap.exe",
     [("x", USERS + ":(OI)(CI)M"), ("x/Pacecap.exe", None), ("[x]", None), ("[x]/Pacecap.exe", None)]),
    ("an inherited full-control entry for a standard local account", "account/Pacecap.exe",
     [("account", "*{account}:(OI)(CI)F"), ("account/Pacecap.exe", None)]),
    ("Users may delete the folder's children", "delete-child/Pacecap.exe",
     [("delete-child", USERS + ":(DC)"), ("delete-child/Pacecap.exe", None)]),
    ("Users may change an ancestor's permissions", "ancestor/inner/Pacecap.exe",
     [("ancestor", USERS + ":(WDAC)"), ("ancestor/inner", None), ("ancestor/inner/Pacecap.exe", None)]),
]


@contextlib.contextmanager
def local_account():
    """Yields the SID of a new standard local account, disabled and without
    a password, that only access rules name; deletes it afterwards."""
    name = "PacecapT" + secrets.token_hex(4)
    made = powershell("$ErrorActionPreference = 'Stop'\n"
                      "(New-LocalUser -Name %s -NoPassword -Disabled -Description 'Pacecap job, deleted after it').SID.Value"
                      % ps_quote(name))
    if made.code != 0:
        raise RuntimeError("the local account could not be made: %s" % made.err)
    try:
        yield made.out
    finally:
        gone = powershell("Remove-LocalUser -Name %s -ErrorAction Stop" % ps_quote(name))
        check("the local account %s is deleted" % name, gone.code == 0, gone)


def make_case(base, steps, run_marker, account, set_rules=icacls):
    """Makes a REFUSALS row's steps under base; returns the markers made."""
    markers = []
    for path, grant in steps:
        item = base / path
        if item.suffix == ".exe":
            shutil.copyfile(run_marker, item)
            markers.append(item)
        else:
            item.mkdir()
        if grant:
            set_rules(item, "/grant", grant.format(account=account))
    return markers
