#include "TaskRules.h"

#include "TaskXml.h"

namespace taskaction {

namespace {

// What an earlier Pacecap leaves in its folder, and Register-PacecapTask.ps1
// in the Task folder: the programs and the roll-out scripts, one after the
// other (a table of pointers would need relocations), in lower case.
const char kKnownFiles[] = "pacecap.exe\0pacecapkeep.exe\0detect-pacecap.ps1\0register-pacecaptask.ps1\0"
                           "remediate-pacecap.ps1\0";

WCHAR Lower(WCHAR c) { return c >= 'A' && c <= 'Z' ? static_cast<WCHAR>(c - 'A' + 'a') : c; }

// Whether wide equals lower, a name in lower case, ignoring ASCII case as
// file names compare.
bool SameName(const WCHAR* wide, const char* lower) {
    while (*wide && Lower(*wide) == static_cast<WCHAR>(*lower)) ++wide, ++lower;
    return *wide == 0 && *lower == 0;
}

const char kNotThree[] = "data: not KEEPER|P|B";

// Reads "|" and the field after it, up to the next "|" or the end, as a
// whole number from 0 to 100 into digits ("0" when empty), and moves c past
// it; the refusal, or null.
const char* ReadLimit(const WCHAR*& c, char (&digits)[4]) {
    if (*c != '|') return kNotThree;
    int value = 0;
    int n = 0;
    for (++c; *c && *c != '|'; ++c) {
        if (*c < '0' || *c > '9' || n == 3) return "value: not 0-100";
        value = value * 10 + (*c - '0');
        digits[n++] = static_cast<char>(*c);
    }
    if (n == 0) digits[n++] = '0';
    digits[n] = 0;
    return value > 100 ? "value: not 0-100" : nullptr;
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
    const WCHAR* c = data;
    for (; *c && *c != '|'; ++c) {
        if (*c == '&' || *c == '<' || *c == '>' || *c == '\'' || *c == '"') {
            return Refuse(values, "keeper: & < > ' \"");
        }
        const WCHAR one[2] = {*c, 0};
        AppendWide(values.keeper, one);
    }
    if (values.keeper.overflowed) return Refuse(values, "keeper: too long");
    const WCHAR* const limits = c;
    const char* refusal = ReadLimit(c, values.pluggedIn);
    if (!refusal) refusal = ReadLimit(c, values.onBattery);
    if (!refusal && *c) refusal = kNotThree;
    if (!refusal && c - limits == 2) refusal = "no value";
    return !refusal || Refuse(values, refusal);
}

bool FillTaskXml(const TaskValues& values, WideText<kXmlSize>& xml) {
    Clear(xml);
    for (const char* c = kTaskXml; *c; ++c) {
        const char one[2] = {*c, 0};
        const WCHAR* keeper = *c == kKeeperMark ? values.keeper.chars : nullptr;
        const char* ascii = *c == kPluggedInMark ? values.pluggedIn : *c == kOnBatteryMark ? values.onBattery : one;
        AppendChars(xml.chars, kXmlSize, xml.length, xml.overflowed, keeper, ascii);
    }
    return !xml.overflowed;
}

namespace {

bool IsDots(const WCHAR* name) { return name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2])); }

// Whether an entry is a known file or, where task is given, the Task
// folder, which *task then says. A link, whatever it leads to, never is.
bool KnownEntry(const WIN32_FIND_DATAW& found, bool* task) {
    const DWORD attributes = found.dwFileAttributes;
    const WCHAR* name = found.cFileName;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        const bool known = task && SameName(name, "task");
        if (known) *task = true;
        return known || IsDots(name);
    }
    for (const char* file = kKnownFiles; *file;) {
        if (SameName(name, file)) return true;
        while (*file++) {
        }
    }
    return false;
}

// Whether every entry of folder is known (KnownEntry); false too for a
// listing that fails. Lists to the end, so a Task folder is seen whatever
// comes before it.
bool OnlyKnown(const WCHAR* folder, bool* task) {
    WideText<kPathSize> pattern;
    Clear(pattern);
    AppendWide(pattern, folder);
    Append(pattern, "\\*");
    if (pattern.overflowed) return false;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.chars, &found);
    // INVALID_HANDLE_VALUE, an integer made a pointer by Windows' own header.
    // cppcheck-suppress cstyleCast
    if (search == INVALID_HANDLE_VALUE) return false;  // NOLINT(performance-no-int-to-ptr)
    bool known = true;
    do {
        known = KnownEntry(found, task) && known;
    } while (FindNextFileW(search, &found));
    const bool listed = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    return known && listed;
}

}  // namespace

FolderFound ExamineFolder(const WCHAR* folder) {
    FolderFound result = {Folder::Other, false};
    const DWORD attributes = GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) result.verdict = Folder::Absent;
        return result;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return result;
    WideText<kPathSize> task;
    Clear(task);
    AppendWide(task, folder);
    Append(task, "\\Task");
    if (OnlyKnown(folder, &result.task) && (!result.task || (!task.overflowed && OnlyKnown(task.chars, nullptr)))) {
        result.verdict = Folder::Leftover;
    }
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
