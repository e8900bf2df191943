#include "TaskRules.h"

#include "TaskXml.h"

namespace taskaction {

namespace {

// What an earlier Pacecap leaves in its folder, and Register-PacecapTask.ps1
// in the Task folder: the programs and the roll-out scripts, one after the
// other (a table of pointers would need relocations).
const char kKnownFiles[] = "Pacecap.exe\0PacecapKeep.exe\0Detect-Pacecap.ps1\0Register-PacecapTask.ps1\0"
                           "Remediate-Pacecap.ps1\0";
const char kPlaceholders[] = "{KEEPER}\0{PLUGGEDIN}\0{ONBATTERY}\0";

int Length(const char* ascii) {
    int n = 0;
    while (ascii[n]) ++n;
    return n;
}

WCHAR Lower(WCHAR c) { return c >= 'A' && c <= 'Z' ? static_cast<WCHAR>(c - 'A' + 'a') : c; }

// Whether wide equals ascii, ignoring ASCII case, as file names compare.
bool SameName(const WCHAR* wide, const char* ascii) {
    while (*wide && Lower(*wide) == Lower(static_cast<WCHAR>(*ascii))) ++wide, ++ascii;
    return *wide == 0 && *ascii == 0;
}

// The field from..to (not terminated) as a whole number from 0 to 100 into
// digits, or "0" when empty; false for anything else.
bool ReadLimit(const WCHAR* from, const WCHAR* to, char (&digits)[4]) {
    if (from == to) {
        digits[0] = '0';
        digits[1] = 0;
        return true;
    }
    if (to - from > 3) return false;
    int value = 0;
    int n = 0;
    for (; from < to; ++from) {
        if (*from < '0' || *from > '9') return false;
        value = value * 10 + (*from - '0');
        digits[n++] = static_cast<char>(*from);
    }
    digits[n] = 0;
    return value <= 100;
}

bool Refuse(TaskValues& values, const char* why) {
    values.refusal = why;
    return false;
}

}  // namespace

void AppendChars(WCHAR* chars, int capacity, int& length, bool& overflowed, const WCHAR* wide, const char* ascii) {
    while (wide ? *wide : *ascii) {
        if (length >= capacity - 1) {
            overflowed = true;
            break;
        }
        chars[length++] = wide ? *wide++ : static_cast<WCHAR>(static_cast<unsigned char>(*ascii++));
    }
    chars[length] = 0;
}

bool ReadTaskValues(const WCHAR* data, TaskValues& values) {
    Clear(values.keeper);
    values.refusal = nullptr;
    const WCHAR* bars[2];
    int count = 0;
    const WCHAR* end = data;
    for (; *end; ++end) {
        if (*end == '|' && count++ < 2) bars[count - 1] = end;
    }
    if (count != 2) return Refuse(values, "data: not KEEPER|P|B");
    for (const WCHAR* c = data; c < bars[0]; ++c) {
        const WCHAR one[2] = {*c, 0};
        if (*c == '&' || *c == '<' || *c == '>' || *c == '\'' || *c == '"') {
            return Refuse(values, "keeper: & < > ' \"");
        }
        AppendWide(values.keeper, one);
    }
    if (values.keeper.length < 4 || values.keeper.chars[1] != ':' || values.keeper.chars[2] != '\\') {
        return Refuse(values, "keeper: not full");
    }
    if (values.keeper.overflowed) return Refuse(values, "keeper: too long");
    if (!ReadLimit(bars[0] + 1, bars[1], values.pluggedIn) || !ReadLimit(bars[1] + 1, end, values.onBattery)) {
        return Refuse(values, "value: not 0-100");
    }
    if (bars[0] + 1 == bars[1] && bars[1] + 1 == end) return Refuse(values, "no value");
    return true;
}

bool FillTaskXml(const TaskValues& values, WideText<kXmlSize>& xml) {
    Clear(xml);
    for (const char* c = kTaskXml; *c;) {
        int found = -1;
        int length = 0;
        const char* name = kPlaceholders;
        for (int i = 0; i < 3 && found < 0; ++i, name += Length(name) + 1) {
            length = 0;
            while (name[length] && c[length] == name[length]) ++length;
            if (!name[length]) found = i;
        }
        if (found == 0) AppendWide(xml, values.keeper.chars);
        if (found == 1) Append(xml, values.pluggedIn);
        if (found == 2) Append(xml, values.onBattery);
        if (found >= 0) {
            c += length;
        } else {
            const char one[2] = {*c++, 0};
            Append(xml, one);
        }
    }
    return !xml.overflowed;
}

namespace {

bool IsDots(const WCHAR* name) { return name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2])); }

// Whether every entry of folder is a known file or, where allowed, the Task
// folder; false for anything else, a link, or a listing that fails.
bool OnlyKnown(const WCHAR* folder, bool taskAllowed) {
    WideText<kPathSize> pattern;
    Clear(pattern);
    AppendWide(pattern, folder);
    Append(pattern, "\\*");
    WIN32_FIND_DATAW found;
    HANDLE search = pattern.overflowed ? INVALID_HANDLE_VALUE : FindFirstFileW(pattern.chars, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool known = true;
    do {
        const DWORD attributes = found.dwFileAttributes;
        if (IsDots(found.cFileName)) continue;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            known = false;
        } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            known = taskAllowed && SameName(found.cFileName, "Task");
        } else {
            known = false;
            for (const char* file = kKnownFiles; *file; file += Length(file) + 1) {
                known = known || SameName(found.cFileName, file);
            }
        }
    } while (known && FindNextFileW(search, &found));
    const bool listed = !known || GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    return known && listed;
}

// Whether path is a folder and no link; with error set to GetLastError()
// where it cannot be read.
bool IsPlainFolder(const WCHAR* path, DWORD& error) {
    const DWORD attributes = GetFileAttributesW(path);
    error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

FolderFound ExamineFolder(const WCHAR* folder) {
    FolderFound result = {Folder::Other, false};
    DWORD error = ERROR_SUCCESS;
    if (!IsPlainFolder(folder, error)) {
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) result.verdict = Folder::Absent;
        return result;
    }
    WideText<kPathSize> task;
    Clear(task);
    AppendWide(task, folder);
    Append(task, "\\Task");
    result.task = !task.overflowed && IsPlainFolder(task.chars, error);
    if (OnlyKnown(folder, true) && (!result.task || OnlyKnown(task.chars, false))) result.verdict = Folder::Leftover;
    return result;
}

bool IsMissing(LONG result) {
    return result == static_cast<LONG>(0x80070002) || result == static_cast<LONG>(0x80070003);
}

void Hex(DWORD value, char (&digits)[kHexSize]) {
    digits[0] = '0';
    digits[1] = 'x';
    for (int i = 0; i < 8; ++i) digits[2 + i] = "0123456789ABCDEF"[(value >> (28 - 4 * i)) & 15];
    digits[10] = 0;
}

}  // namespace taskaction
