#!/usr/bin/python3
"""Reads a built program, Pacecap.exe or PacecapKeep.exe (told apart by the
file's name), and checks its image properties, imports, delayed imports and
resources. Ends with "N passed, M failed".

Usage: check_image.py [--visual-studio] [--arm64] EXE [LINKER_MAP]
       check_image.py --self-test
--visual-studio checks a Visual Studio build: each way in which it rightly
differs from the release image is named below, and allowed for it alone.
--arm64 checks the ARM64 image instead of the x64 one. With LINKER_MAP, the
import libraries' thunks are checked too. --self-test checks the reading of
linker maps (lld-link's and link.exe's) on samples.
"""
import os
import re
import sys

KERNEL32 = {
    "ExitProcess", "FlushConsoleInputBuffer", "GetCommandLineA", "GetConsoleWindow", "GetCurrentProcessId",
    "GetFileType", "GetModuleHandleA", "GetNumberOfConsoleInputEvents", "GetProcAddress",
    "GetStartupInfoA", "GetStdHandle", "GetTickCount", "LoadLibraryA", "LocalFree", "ProcessIdToSessionId",
    "ReadConsoleInputA", "Sleep", "WriteFile", "lstrcpyA", "lstrlenA",
}
DEFERRED = {
    "SHLWAPI.dll": {"StrToIntA"},
    "POWRPROF.dll": {"PowerReadDCValueIndex", "PowerReadACValueIndex", "PowerSetActiveScheme",
                     "PowerWriteDCValueIndex", "PowerWriteACValueIndex", "PowerGetActiveScheme"},
    "USER32.dll": {"GetProcessWindowStation", "GetUserObjectInformationA", "GetWindowThreadProcessId", "wvsprintfA"},
}
# What the close prompt alone calls, which the keeper has not.
CLOSE_PROMPT = {
    "KERNEL32.dll": {"FlushConsoleInputBuffer", "GetConsoleWindow", "GetCurrentProcessId", "GetFileType",
                     "GetNumberOfConsoleInputEvents", "GetStartupInfoA", "GetTickCount", "ProcessIdToSessionId",
                     "ReadConsoleInputA"},
    "USER32.dll": {"GetProcessWindowStation", "GetUserObjectInformationA", "GetWindowThreadProcessId"},
}
GERMAN = 0x0407
MANIFEST = "\r\n".join([
    '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>',
    '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">',
    '  <assemblyIdentity version="1.0.0.0" processorArchitecture="*" name=" " type="win32"/>',
    '  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">',
    '    <application>',
    '      <supportedOS Id="{e2011457-1546-43c5-a5fe-008deee3d3f0}"/>',
    '      <supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>',
    '      <supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>',
    '      <supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>',
    '      <supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>',
    '    </application>',
    '  </compatibility>',
    '</assembly>',
]).encode() + b"\r\n"
VERSION_STRINGS = {
    "Comments": "Freeware",
    "CompanyName": "The Pacecap Project - https://pacecap.example",
    "FileDescription": "Pacecap (Win32)",
    "FileVersion": "1,0,0,0",
    "InternalName": "Pacecap",
    "LegalCopyright": "Copyright (C) 2026 The Pacecap Project",
    "LegalTrademarks": "",
    "OriginalFilename": "Pacecap.exe",
    "PrivateBuild": "",
    "ProductName": "Pacecap",
    "ProductVersion": "1,0,0,0",
}
ICONS = {1: 32, 2: 20, 3: 16}

# What differs by program: its imports and the version strings that name it.
PROGRAMS = {
    "Pacecap.exe": {
        "kernel32": KERNEL32,
        "deferred": DEFERRED,
        "version strings": VERSION_STRINGS,
    },
    "PacecapKeep.exe": {
        "kernel32": KERNEL32 - CLOSE_PROMPT["KERNEL32.dll"],
        "deferred": {library: functions - CLOSE_PROMPT.get(library, set()) for library, functions in DEFERRED.items()},
        "version strings": dict(VERSION_STRINGS, FileDescription="Pacecap keeper (Win32)", InternalName="PacecapKeep",
                                OriginalFilename="PacecapKeep.exe"),
    },
}
program = PROGRAMS["Pacecap.exe"]

# What differs by target. ARM64 has no fixed-base images, and its loaders want
# NX, so that image is relocatable with ASLR and DEP, for Windows 6.2 (8, the
# first on ARM). Thunks: the code each call of an imported function passes
# through, as instructions of (bytes, mask, value) on their little-endian
# bytes; an import library made for the wrong machine links without a word.
TARGETS = {
    "x64": {
        "machine": ("x86-64", 0x8664),
        "version": (5, 2),
        "relocatable": False,
        "dll characteristics": ("terminal-server aware only", 0x8000),
        # jmp [rip+x]
        "import thunk": [(2, 0xFFFF, 0x25FF), (4, 0, 0)],
        # lea rax, [rip+x]; jmp x
        "delay-load thunk": [(3, 0xFFFFFF, 0x058D48), (4, 0, 0), (1, 0xFF, 0xE9), (4, 0, 0)],
    },
    "arm64": {
        "machine": ("ARM64", 0xAA64),
        "version": (6, 2),
        "relocatable": True,
        "dll characteristics": ("terminal-server aware, NX, ASLR with high-entropy addresses", 0x8160),
        # adrp x16, x; ldr x16, [x16, x]; br x16
        "import thunk": [(4, 0x9F00001F, 0x90000010), (4, 0xFFC003FF, 0xF9400210), (4, 0xFFFFFFFF, 0xD61F0200)],
        # adrp x17, x; add x17, x17, x; b x
        "delay-load thunk": [(4, 0x9F00001F, 0x90000011), (4, 0xFFC003FF, 0x91000231), (4, 0xFC000000, 0x14000000)],
    },
}
target = TARGETS["x64"]

# Where a Visual Studio build rightly differs: check name -> (what is allowed, why).
VISUAL_STUDIO = {
    "operating-system version": ({(5, 2), (6, 0), (6, 2), (10, 0)},
                                 "link.exe sets it itself; the release's is set after linking"),
}
visual_studio = False

results = {"passed": 0, "failed": 0, "skipped": 0}

# One public symbol of a linker map, as link.exe's /MAP documents the list:
# the address as section:offset, the name, the flat address (Rva+Base), and
# where it is defined as "library:object" or "object". Between the last two
# link.exe writes flags the page leaves out: "f" for a function, then "i" for
# one that is inline (a COMDAT), as in "f i". lld-link writes the same columns.
MAP_PUBLIC = re.compile(r"^\s*[0-9a-f]{4}:[0-9a-f]{8}\s+(\S+)\s+([0-9a-f]{8,16})(?:\s+f)?(?:\s+i)?\s+(\S.*?)\s*$",
                        re.IGNORECASE)
# An import library's member, named by its DLL: "kernel32:KERNEL32.dll".
IMPORT_MEMBER = re.compile(r"[^:\s]+:[^:\s]+\.dll", re.IGNORECASE)
IMAGE_SCN_MEM_EXECUTE = 0x20000000


def check(name, actual, expected):
    allowed, why = VISUAL_STUDIO.get(name, (None, None)) if visual_studio else (None, None)
    if allowed is not None and actual != expected and actual in allowed:
        name = "%s (Visual Studio build: %r allowed, since %s)" % (name, actual, why)
        expected = actual
    if actual == expected:
        results["passed"] += 1
        print("ok    %s" % name)
    else:
        results["failed"] += 1
        print("FAIL  %s: %r, expected %r" % (name, actual, expected))


def skip(name, reason):
    results["skipped"] += 1
    print("skip  %s: %s" % (name, reason))


def map_publics(text):
    """(name, flat address, defined in) of each symbol line of a linker map;
    the section table's lines, whose second column is a length, are none."""
    return [(match.group(1), int(match.group(2), 16), match.group(3))
            for match in map(MAP_PUBLIC.match, text.splitlines()) if match]


def map_thunks(publics, is_code):
    """(import thunks, delay-load thunks) as (name, flat address): the code
    that an import library's member defines. link.exe names its delay-load
    thunks __imp_load_NAME, and the routine they jump to __tailMerge_DLL,
    which is left out; any other such code is an import library's thunk.
    What the members define as data is no thunk: the __imp_ slots, the
    import descriptors and the NULL_THUNK_DATA ends."""
    code = [(name, address) for name, address, where in publics
            if IMPORT_MEMBER.fullmatch(where) and is_code(address)]
    delay = [(name, address) for name, address in code if name.startswith("__imp_load_")]
    imports = [(name, address) for name, address in code
               if not name.startswith(("__imp_", "__tailMerge_"))]
    return imports, delay


def resources(pe, type_id):
    """(name or id, language, bytes) of every resource of a type."""
    found = []
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != type_id:
            continue
        for entry in kind.directory.entries:
            name = str(entry.name) if entry.name is not None else entry.id
            for language in entry.directory.entries:
                data = language.data.struct
                found.append((name, language.id, pe.get_data(data.OffsetToData, data.Size)))
    return found


def check_headers(pe, data, linker_map):
    optional = pe.OPTIONAL_HEADER
    check("PE32+", optional.Magic, 0x20B)
    check(target["machine"][0], pe.FILE_HEADER.Machine, target["machine"][1])
    check("console subsystem", optional.Subsystem, 3)
    check("operating-system version", (optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion),
          target["version"])
    check("subsystem version", (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion), target["version"])
    check("image base", optional.ImageBase, 0x140000000)
    relocations = [s.Name.rstrip(b"\0") for s in pe.sections if s.Name.startswith(b".reloc")]
    characteristics = pe.FILE_HEADER.Characteristics
    if target["relocatable"]:
        check("relocation section", relocations, [b".reloc"])
        check("relocation directory", optional.DATA_DIRECTORY[5].Size > 0, True)
        check("relocations kept", bool(characteristics & 0x0001), False)
    else:
        check("no relocation section", relocations, [])
        check("no relocation directory", optional.DATA_DIRECTORY[5].Size, 0)
        check("relocations stripped", bool(characteristics & 0x0001), True)
    check("large-address aware", bool(characteristics & 0x0020), True)
    check("DLL characteristics: " + target["dll characteristics"][0], optional.DllCharacteristics,
          target["dll characteristics"][1])
    check("stack reserve and commit", (optional.SizeOfStackReserve, optional.SizeOfStackCommit), (0x100000, 0x1000))
    check("heap reserve and commit", (optional.SizeOfHeapReserve, optional.SizeOfHeapCommit), (0x100000, 0x1000))
    check("header checksum", optional.CheckSum, pe.generate_checksum())
    check("no section both writable and executable",
          [s.Name for s in pe.sections if s.Characteristics & 0x20000000 and s.Characteristics & 0x80000000], [])
    if linker_map:
        entries = [address - optional.ImageBase for name, address, _ in read_map(linker_map) if name == "ProgramEntry"]
        check("entry point is ProgramEntry", optional.AddressOfEntryPoint, entries[0] if len(entries) == 1 else entries)
    check("nothing after the last section (unsigned)",
          len(data), max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections))


def check_imports(pe):
    imports = {entry.dll.decode(): {i.name.decode() for i in entry.imports} for entry in pe.DIRECTORY_ENTRY_IMPORT}
    check("load-time libraries", sorted(imports), ["KERNEL32.dll"])
    check("load-time functions", imports.get("KERNEL32.dll"), program["kernel32"])
    delayed = {entry.dll.decode(): {i.name.decode() for i in entry.imports}
               for entry in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])}
    check("libraries bound on first use", sorted(delayed), sorted(program["deferred"]))
    for library, functions in program["deferred"].items():
        check("functions of %s bound on first use" % library, delayed.get(library), functions)
    attributes = {entry.struct.grAttrs for entry in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])}
    check("delay-import descriptors use relative addresses", attributes, {1})


def is_code(pe, rva, pattern):
    """Whether the bytes at rva are the instructions of pattern."""
    offset = pe.get_offset_from_rva(rva)
    for size, mask, value in pattern:
        if int.from_bytes(pe.__data__[offset:offset + size], "little") & mask != value:
            return False
        offset += size
    return True


def read_map(path):
    # Latin-1 reads every byte: link.exe ends each import library's list with
    # a symbol whose name starts with byte 0x7F.
    with open(path, encoding="latin-1") as opened:
        return map_publics(opened.read())


def in_code(pe):
    """Whether a flat address lies in an executable section of the image."""
    base = pe.OPTIONAL_HEADER.ImageBase
    ranges = [(s.VirtualAddress, s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData))
              for s in pe.sections if s.Characteristics & IMAGE_SCN_MEM_EXECUTE]
    return lambda address: any(start <= address - base < end for start, end in ranges)


def check_thunks(pe, linker_map):
    """The thunks of the import libraries (named in the linker map) and the
    linker's delay-load thunks (where the delayed slots point before binding,
    and those the map names) are code of the target's machine. None found
    fails: a check of nothing would pass whatever the image held."""
    base = pe.OPTIONAL_HEADER.ImageBase
    machine = target["machine"][0]
    named_delay = []
    if linker_map:
        thunks, named_delay = map_thunks(read_map(linker_map), in_code(pe))
        check("thunks found in the map", len(thunks) + len(named_delay) > 0, True)
        wrong = sorted(name for name, address in thunks if not is_code(pe, address - base, target["import thunk"]))
        if thunks or not visual_studio:
            check("import thunks found in the map", len(thunks) > 0, True)
            check("the map's %d import thunks are %s code" % (len(thunks), machine), wrong, [])
        else:
            skip("import thunks are %s code" % machine, "the map names none: every call of an imported function "
                 "goes through its slot, as where the Windows SDK's headers declare each one dllimport")
    slots = [(i.name.decode(), pe.get_qword_at_rva(i.address - base))
             for entry in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []) for i in entry.imports]
    delay = slots + named_delay
    check("delay-load thunks found", len(slots) > 0, True)
    check("the %d delay-load thunks are %s code" % (len(delay), machine),
          sorted(name for name, address in delay if not is_code(pe, address - base, target["delay-load thunk"])), [])


def check_icons(pe):
    icons = resources(pe, 3)
    check("icon resources 1, 2, 3 in German", sorted((name, lang) for name, lang, _ in icons),
          [(1, GERMAN), (2, GERMAN), (3, GERMAN)])
    for name, _, data in icons:
        width, height, planes, bits = (int.from_bytes(data[4:8], "little"), int.from_bytes(data[8:12], "little"),
                                       int.from_bytes(data[12:14], "little"), int.from_bytes(data[14:16], "little"))
        check("icon %s: size and 16 colours" % name, (width, height, planes, bits),
              (ICONS.get(name), 2 * ICONS.get(name, 0), 1, 4))
    groups = resources(pe, 14)
    check("icon group IDI_APP in German", [(name, lang) for name, lang, _ in groups], [("IDI_APP", GERMAN)])
    data = groups[0][2] if groups else bytes(6)  # no group: the check below fails
    count = int.from_bytes(data[4:6], "little")
    entries = [data[6 + 14 * i:20 + 14 * i] for i in range(count)]
    check("icon group lists images 1, 2, 3",
          [(e[0], e[1], e[2], int.from_bytes(e[6:8], "little"), int.from_bytes(e[12:14], "little"))
           for e in entries],
          [(32, 32, 16, 4, 1), (20, 20, 16, 4, 2), (16, 16, 16, 4, 3)])


def check_manifest(pe):
    manifests = resources(pe, 24)
    check("manifest id 1 in German", [(name, lang) for name, lang, _ in manifests], [(1, GERMAN)])
    check("manifest content", manifests[0][2] if manifests else None, MANIFEST)


def check_version(pe):
    versions = resources(pe, 16)
    check("version resource id 1, neutral", [(name, lang) for name, lang, _ in versions], [(1, 0)])
    # Without version information each check below fails, rather than going uncounted.
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
    field = lambda *names: tuple(getattr(fixed, name, None) for name in names)  # noqa: E731
    check("file and product version 1.0.0.0",
          field("FileVersionMS", "FileVersionLS", "ProductVersionMS", "ProductVersionLS"), (0x10000, 0, 0x10000, 0))
    check("flags, OS, type, subtype, date",
          field("FileFlagsMask", "FileFlags", "FileOS", "FileType", "FileSubtype", "FileDateMS", "FileDateLS"),
          (0x3F, 0, 0x40004, 1, 0, 0, 0))
    tables, translations = [], []
    for info in getattr(pe, "FileInfo", [[]])[0]:
        if info.Key == b"StringFileInfo":
            tables = [(t.LangID, {k.decode(): v.decode() for k, v in t.entries.items()}) for t in info.StringTable]
        if info.Key == b"VarFileInfo":
            translations = [var.entry for var in info.Var]
    check("one string table 00000000", [lang for lang, _ in tables], [b"00000000"])
    check("version strings", tables[0][1] if tables else None, program["version strings"])
    check("translation 0, code page 0", translations, [{b"Translation": "0x0000 0x0000"}])


# The lines of a link.exe map that its documented columns allow, with the
# names link.exe gives what an import library and /DELAYLOAD add; and
# lld-link's. Each: (line, (name, flat address, defined in) or None).
SAMPLE_MAP = [
    (" 0001:00000000 00000bbcH .text$mn                CODE", None),
    ("  Address         Publics by Value              Rva+Base               Lib:Object", None),
    (" 0001:00000365       ProgramEntry               0000000140001365 f   Startup.obj",
     ("ProgramEntry", 0x140001365, "Startup.obj")),
    (" 0001:00000010       ??$KernelExport@P6AHK@Z@pacecap@@YAP6AHK@ZPEBD@Z 0000000140001010 f i Startup.obj",
     ("??$KernelExport@P6AHK@Z@pacecap@@YAP6AHK@ZPEBD@Z", 0x140001010, "Startup.obj")),
    (" 0001:00000bc0       PowerGetActiveScheme       0000000140001bc0 f   powrprof:POWRPROF.dll",
     ("PowerGetActiveScheme", 0x140001bc0, "powrprof:POWRPROF.dll")),
    (" 0001:00000c20       __imp_load_GetWindowThreadProcessId 0000000140001c20     user32:USER32.dll",
     ("__imp_load_GetWindowThreadProcessId", 0x140001c20, "user32:USER32.dll")),
    (" 0001:00000c40       __tailMerge_USER32_dll     0000000140001c40     user32:USER32.dll",
     ("__tailMerge_USER32_dll", 0x140001c40, "user32:USER32.dll")),
    (" 0002:00000000       __imp_ExitProcess          0000000140002000     kernel32:KERNEL32.dll",
     ("__imp_ExitProcess", 0x140002000, "kernel32:KERNEL32.dll")),
    (" 0002:00000020       \x7fKERNEL32_NULL_THUNK_DATA 0000000140002020     kernel32:KERNEL32.dll",
     ("\x7fKERNEL32_NULL_THUNK_DATA", 0x140002020, "kernel32:KERNEL32.dll")),
    (" 0002:00000100       __IMPORT_DESCRIPTOR_KERNEL32 0000000140002100     kernel32:KERNEL32.dll",
     ("__IMPORT_DESCRIPTOR_KERNEL32", 0x140002100, "kernel32:KERNEL32.dll")),
    (" 0001:00000bd0       PowerReadACValueIndex      0000000140001bd0     POWRPROF:POWRPROF.dll",
     ("PowerReadACValueIndex", 0x140001bd0, "POWRPROF:POWRPROF.dll")),
    (" 0004:000001a0       $R000000                   00000001400151a0     internal .obj file created from .res files",
     ("$R000000", 0x1400151a0, "internal .obj file created from .res files")),
    (" entry point at        0001:00000365", None),
]


def self_test():
    def case(name, actual, expected):
        check(name, actual, expected)

    for line, expected in SAMPLE_MAP:
        found = map_publics(line)
        case("map line read: %r" % line[:60], found, [expected] if expected else [])
    publics = map_publics("\n".join(line for line, _ in SAMPLE_MAP))
    in_text = lambda address: 0x140001000 <= address < 0x140002000  # noqa: E731
    imports, delay = map_thunks(publics, in_text)
    case("import thunks: the import libraries' code, not their data, delay-load thunks or tail-merge routines",
         sorted(name for name, _ in imports), ["PowerGetActiveScheme", "PowerReadACValueIndex"])
    case("delay-load thunks named by link.exe", delay, [("__imp_load_GetWindowThreadProcessId", 0x140001c20)])
    case("no code at all: no thunks", map_thunks(publics, lambda address: False), ([], []))


def main():
    global visual_studio, target, program
    args = sys.argv[1:]
    if args == ["--self-test"]:
        self_test()
        print("%d passed, %d failed" % (results["passed"], results["failed"]))
        return 1 if results["failed"] else 0
    import pefile
    visual_studio = "--visual-studio" in args
    target = TARGETS["arm64" if "--arm64" in args else "x64"]
    args = [arg for arg in args if arg not in ("--visual-studio", "--arm64")]
    if len(args) not in (1, 2):
        sys.exit(__doc__)
    name = os.path.basename(args[0])
    if name not in PROGRAMS:
        sys.exit("%s: not a program this checks, which are %s" % (name, ", ".join(sorted(PROGRAMS))))
    program = PROGRAMS[name]
    data = open(args[0], "rb").read()
    pe = pefile.PE(data=data)
    check_headers(pe, data, args[1] if len(args) == 2 else None)
    check_imports(pe)
    check_thunks(pe, args[1] if len(args) == 2 else None)
    check_icons(pe)
    check_manifest(pe)
    check_version(pe)
    skipped = ", %d skipped" % results["skipped"] if results["skipped"] else ""
    print("%d passed, %d failed%s" % (results["passed"], results["failed"], skipped))
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
