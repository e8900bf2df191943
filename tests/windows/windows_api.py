"""The Windows API, bound by ctypes on first use: this process's token, the
machine's kinds of core and power capabilities, the window station, a registry
value's bytes as stored, and the machine's own processor; and the decisions on
what they return."""
import collections


# OpenProcessToken's access, GetTokenInformation's classes TokenElevation
# and TokenIntegrityLevel, and the integrity levels' relative ids (winnt.h).
TOKEN_QUERY = 0x0008
TOKEN_ELEVATION, TOKEN_INTEGRITY_LEVEL = 20, 25
ERROR_INSUFFICIENT_BUFFER = 122
INTEGRITY_LEVELS = {0x0000: "untrusted", 0x1000: "low", 0x2000: "medium", 0x2100: "medium plus", 0x3000: "high",
                    0x4000: "system"}
HIGH_INTEGRITY = 0x3000

# SYSTEM_POWER_CAPABILITIES, as GetPwrCapabilities fills it: 76 bytes, with
# SystemS1 to SystemS4 at 3 to 6, AoAc (Modern Standby) at 0x14 and
# SystemBatteriesPresent at 0x1E.
POWER_CAPABILITIES_SIZE = 76
SLEEP_STATES = {3: "S1", 4: "S2", 5: "S3", 6: "S4 (hibernation)"}
AOAC_AT, BATTERIES_AT = 0x14, 0x1E
# The start of SYSTEM_CPU_SET_INFORMATION: Size, Type (0: a CPU set), then
# the set's fields up to EfficiencyClass, at 18.
CPU_SET_EFFICIENCY_AT = 18

# IMAGE_FILE_MACHINE_* values of the two targets.
MACHINES = {0x8664: "x64", 0xAA64: "arm64"}

# GetUserObjectInformationW's index for the handle flags, and the window
# station flag that Pacecap also asks for before it waits for a key.
UOI_FLAGS = 1
WSF_VISIBLE = 0x0001


def token_elevation():
    """(whether the token is elevated, its integrity level's relative id) of
    this process, by GetTokenInformation's TokenElevation and
    TokenIntegrityLevel."""
    import ctypes
    from ctypes import wintypes

    advapi32 = ctypes.WinDLL("advapi32", use_last_error=True)
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.GetCurrentProcess.restype = wintypes.HANDLE
    kernel32.CloseHandle.argtypes = [wintypes.HANDLE]
    advapi32.OpenProcessToken.argtypes = [wintypes.HANDLE, wintypes.DWORD, ctypes.POINTER(wintypes.HANDLE)]
    advapi32.GetTokenInformation.argtypes = [wintypes.HANDLE, ctypes.c_int, ctypes.c_void_p, wintypes.DWORD,
                                             wintypes.LPDWORD]
    advapi32.IsValidSid.argtypes = [ctypes.c_void_p]
    advapi32.GetSidSubAuthorityCount.restype = ctypes.POINTER(ctypes.c_ubyte)
    advapi32.GetSidSubAuthorityCount.argtypes = [ctypes.c_void_p]
    advapi32.GetSidSubAuthority.restype = ctypes.POINTER(wintypes.DWORD)
    advapi32.GetSidSubAuthority.argtypes = [ctypes.c_void_p, wintypes.DWORD]
    token = wintypes.HANDLE()
    if not advapi32.OpenProcessToken(kernel32.GetCurrentProcess(), TOKEN_QUERY, ctypes.byref(token)):
        raise ctypes.WinError(ctypes.get_last_error())
    try:
        elevated, size = wintypes.DWORD(), wintypes.DWORD()
        if not advapi32.GetTokenInformation(token, TOKEN_ELEVATION, ctypes.byref(elevated), ctypes.sizeof(elevated),
                                            ctypes.byref(size)):
            raise ctypes.WinError(ctypes.get_last_error())
        # TOKEN_MANDATORY_LABEL: the label's SID pointer first, the SID after it.
        if (advapi32.GetTokenInformation(token, TOKEN_INTEGRITY_LEVEL, None, 0, ctypes.byref(size))
                or ctypes.get_last_error() != ERROR_INSUFFICIENT_BUFFER):
            raise ctypes.WinError(ctypes.get_last_error())
        label = ctypes.create_string_buffer(size.value)
        if not advapi32.GetTokenInformation(token, TOKEN_INTEGRITY_LEVEL, label, size, ctypes.byref(size)):
            raise ctypes.WinError(ctypes.get_last_error())
        sid = ctypes.c_void_p.from_buffer(label).value
        # Neither call checks the SID or the index: a label SID that is not
        # valid, or has no relative id, is a failed read, not a level.
        count = advapi32.GetSidSubAuthorityCount(sid)[0] if advapi32.IsValidSid(sid) else 0
        if count < 1:
            raise OSError("the token's integrity label is not a SID with a relative id")
        return bool(elevated.value), advapi32.GetSidSubAuthority(sid, count - 1)[0]
    finally:
        kernel32.CloseHandle(token)


def integrity_name(level):
    return "%s (0x%04X)" % (INTEGRITY_LEVELS.get(level, "unknown"), level)


def elevation_problem(elevated, level):
    """None for an elevated token at high integrity or above (an elevated
    administrator, or SYSTEM); else the one line that stops the run."""
    if elevated and level >= HIGH_INTEGRITY:
        return None
    return ("Not elevated: this token is %s at %s integrity, and these checks change the power scheme, "
            "%%ProgramFiles%%, the machine's PATH and scheduled tasks, which need an elevated administrator's token "
            "(full, not filtered) at high integrity" % ("elevated" if elevated else "not elevated",
                                                       integrity_name(level)))


Machine = collections.namedtuple("Machine", "core_kinds battery sleep_states modern_standby")


def efficiency_classes(data):
    """The efficiency classes of the CPU sets in GetSystemCpuSetInformation's
    bytes; each entry gives its own size, and one too short ends the walk."""
    classes, at = set(), 0
    while len(data) - at > CPU_SET_EFFICIENCY_AT:
        size, kind = int.from_bytes(data[at:at + 4], "little"), int.from_bytes(data[at + 4:at + 8], "little")
        if size <= CPU_SET_EFFICIENCY_AT or size > len(data) - at:
            break
        if kind == 0:
            classes.add(data[at + CPU_SET_EFFICIENCY_AT])
        at += size
    return classes


def power_capabilities(data):
    """(battery, sleep states, Modern Standby) from SYSTEM_POWER_CAPABILITIES'
    bytes."""
    if len(data) < POWER_CAPABILITIES_SIZE:
        raise ValueError("SYSTEM_POWER_CAPABILITIES is %d bytes, not %d" % (len(data), POWER_CAPABILITIES_SIZE))
    return (bool(data[BATTERIES_AT]), [name for at, name in sorted(SLEEP_STATES.items()) if data[at]],
            bool(data[AOAC_AT]))


def read_machine():
    """What this machine has that some checks need: its kinds of core, a
    battery, sleep states, Modern Standby."""
    import ctypes
    from ctypes import wintypes

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.GetSystemCpuSetInformation.argtypes = [ctypes.c_void_p, wintypes.ULONG, ctypes.POINTER(wintypes.ULONG),
                                                    wintypes.HANDLE, wintypes.ULONG]
    length = wintypes.ULONG()
    kernel32.GetSystemCpuSetInformation(None, 0, ctypes.byref(length), None, 0)  # asks for the size
    sets = ctypes.create_string_buffer(length.value)
    if not kernel32.GetSystemCpuSetInformation(sets, length, ctypes.byref(length), None, 0):
        raise ctypes.WinError(ctypes.get_last_error())
    powrprof = ctypes.WinDLL("powrprof", use_last_error=True)
    powrprof.GetPwrCapabilities.restype = ctypes.c_ubyte  # BOOLEAN
    powrprof.GetPwrCapabilities.argtypes = [ctypes.c_void_p]
    capabilities = ctypes.create_string_buffer(POWER_CAPABILITIES_SIZE)
    if not powrprof.GetPwrCapabilities(capabilities):
        raise ctypes.WinError(ctypes.get_last_error())
    return Machine(len(efficiency_classes(sets.raw[:length.value])), *power_capabilities(capabilities.raw))


def machine_text(machine):
    return "%s, %s, sleep states: %s, %s" % (
        "one kind of core" if machine.core_kinds < 2 else "%d kinds of core" % machine.core_kinds,
        "a battery" if machine.battery else "no battery", ", ".join(machine.sleep_states) or "none",
        "Modern Standby" if machine.modern_standby else "no Modern Standby")


def window_station_visible():
    """Whether the job's window station has visible display surfaces, asked
    as Pacecap asks it; raises OSError when the question fails."""
    import ctypes
    from ctypes import wintypes

    class UserObjectFlags(ctypes.Structure):
        _fields_ = [("fInherit", wintypes.BOOL), ("fReserved", wintypes.BOOL), ("dwFlags", wintypes.DWORD)]

    user32 = ctypes.WinDLL("user32", use_last_error=True)
    user32.GetProcessWindowStation.restype = wintypes.HANDLE
    user32.GetProcessWindowStation.argtypes = []
    user32.GetUserObjectInformationW.restype = wintypes.BOOL
    user32.GetUserObjectInformationW.argtypes = [wintypes.HANDLE, ctypes.c_int, ctypes.c_void_p, wintypes.DWORD,
                                                 wintypes.LPDWORD]
    flags, needed = UserObjectFlags(), wintypes.DWORD()
    station = user32.GetProcessWindowStation()  # not to be closed
    if not station or not user32.GetUserObjectInformationW(station, UOI_FLAGS, ctypes.byref(flags),
                                                           ctypes.sizeof(flags), ctypes.byref(needed)):
        raise ctypes.WinError(ctypes.get_last_error())
    return bool(flags.dwFlags & WSF_VISIBLE)


def registry_functions():
    """ctypes, wintypes and advapi32's RegQueryValueExW and RegSetValueExW,
    which read and write a value's bytes as stored: no expansion of
    REG_EXPAND_SZ and no change of its kind."""
    import ctypes
    from ctypes import wintypes

    advapi32 = ctypes.WinDLL("advapi32")
    query = advapi32.RegQueryValueExW
    query.argtypes = [wintypes.HKEY, wintypes.LPCWSTR, wintypes.LPDWORD, wintypes.LPDWORD, ctypes.c_void_p,
                      wintypes.LPDWORD]
    query.restype = wintypes.LONG
    store = advapi32.RegSetValueExW
    store.argtypes = [wintypes.HKEY, wintypes.LPCWSTR, wintypes.DWORD, wintypes.DWORD, ctypes.c_char_p,
                      wintypes.DWORD]
    store.restype = wintypes.LONG
    return ctypes, wintypes, query, store


def native_machine():
    """This machine's own processor, which IsWow64Process2 names also to an
    emulated process."""
    import ctypes
    from ctypes import wintypes

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.GetCurrentProcess.restype = wintypes.HANDLE
    kernel32.GetCurrentProcess.argtypes = []
    kernel32.IsWow64Process2.restype = wintypes.BOOL
    kernel32.IsWow64Process2.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.USHORT),
                                         ctypes.POINTER(wintypes.USHORT)]
    process, native = wintypes.USHORT(), wintypes.USHORT()
    if not kernel32.IsWow64Process2(kernel32.GetCurrentProcess(), ctypes.byref(process), ctypes.byref(native)):
        raise ctypes.WinError(ctypes.get_last_error())
    return MACHINES.get(native.value, "0x%04X" % native.value)
