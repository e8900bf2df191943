"""What the package builder and the bundle both say about a release: the
exe's version, the maker, the Windows Installer identifiers and the files'
hashes. Imports nothing of the release's own, so either may import it."""
import hashlib
import re
import uuid
from pathlib import Path

import pefile

# Every Pacecap package, of any version and processor, carries this
# UpgradeCode: Windows Installer finds the installed one by it, to replace it
# (or refuse an older one). Changing it would leave earlier installs beside
# new ones, so it never changes.
UPGRADE_CODE = "{6E1B9F43-2C8D-4F5A-9B7E-3D0A51C4E827}"
# The namespace of the identifiers below (uuid5 of these names in it).
NAMESPACE = uuid.UUID("0B5D3C1E-7A44-4E0F-8D62-95C1F7A3B210")


def guid(name):
    return "{%s}" % str(uuid.uuid5(NAMESPACE, name)).upper()


def product_code(version, arch):
    """A new ProductCode for each version and processor, as a major upgrade
    needs. Only the first three fields count: Windows Installer compares no
    more, so a fourth-field release is the same product and is refused over
    its sibling instead of installed beside it."""
    return guid("ProductCode %s %s" % (".".join(version.split(".")[:3]), arch))


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
