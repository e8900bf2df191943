"""The machine's PATH value in the registry, read and written as stored, and
put back afterwards."""
from harness import restored
from windows_api import registry_functions


# The machine's PATH as the registry holds it; the roll-out scripts read it
# from there afresh, not from their own environment.
ENVIRONMENT_KEY = r"SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
REG_SZ, REG_EXPAND_SZ = 1, 2
ERROR_MORE_DATA = 234


def read_machine_path():
    """(kind, data): the machine's Path value byte for byte."""
    import winreg

    ctypes, wintypes, query, _ = registry_functions()
    with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, ENVIRONMENT_KEY, 0, winreg.KEY_QUERY_VALUE) as key:
        kind, size = wintypes.DWORD(), wintypes.DWORD()
        status = ERROR_MORE_DATA
        while status == ERROR_MORE_DATA:  # the value grew between the two calls: ask again
            status = query(int(key), "Path", None, ctypes.byref(kind), None, ctypes.byref(size))
            if status:
                raise ctypes.WinError(status)
            buffer = ctypes.create_string_buffer(size.value)
            status = query(int(key), "Path", None, ctypes.byref(kind), buffer, ctypes.byref(size))
        if status:
            raise ctypes.WinError(status)
        return kind.value, buffer.raw[:size.value]


def write_machine_path(kind, data):
    import winreg

    ctypes, _, _, store = registry_functions()
    with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, ENVIRONMENT_KEY, 0, winreg.KEY_SET_VALUE) as key:
        status = store(int(key), "Path", 0, kind, data, len(data))
        if status:
            raise ctypes.WinError(status)


def path_with(data, folder):
    """A Path value's data (UTF-16LE, REG_SZ or REG_EXPAND_SZ) with folder
    added at the end; the entries before it stay as stored, unexpanded."""
    text = data.decode("utf-16-le").split("\0", 1)[0]
    separator = "" if not text or text.endswith(";") else ";"
    return (text + separator + folder + "\0").encode("utf-16-le")


def machine_path_restored(read=read_machine_path, write=write_machine_path):
    return restored(lambda original: "the machine's Path value is back byte for byte, kind %d" % original[0],
                    read, write, lambda now: "kind %d, %d bytes: %r" % (now[0], len(now[1]), now[1][:200]))
