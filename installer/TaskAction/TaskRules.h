// The task action's decisions, apart from Windows: what CustomActionData
// asks for, the task's XML filled in from the one definition, what a
// leftover install folder holds, and the log lines. Plain functions over
// fixed buffers (ExamineFolder alone reads the disk); the host tests call
// them directly.
#pragma once

#include <windows.h>

namespace taskaction {

// Sizes in characters; the large buffers live outside any frame.
const int kDataSize = 400;      // CustomActionData
const int kPathSize = 260;      // a folder or file path
const int kXmlSize = 8192;      // a task's XML: ours filled in, or the one there before
const int kHexSize = 11;        // "0x" and eight digits
const char kTaskName[] = "Pacecap";

// A zero-terminated wide text of fixed capacity. What does not fit is
// dropped, and overflowed says so.
template <int Capacity>
struct WideText {
    WCHAR chars[Capacity];
    int length;
    bool overflowed;
};

template <int Capacity>
void Clear(WideText<Capacity>& text) {
    text.length = 0;
    text.overflowed = false;
    text.chars[0] = 0;
}

// Appends wide where it is given, else ascii (never null).
void AppendChars(WCHAR* chars, int capacity, int& length, bool& overflowed, const WCHAR* wide, const char* ascii);
template <int Capacity>
void Append(WideText<Capacity>& text, const char* ascii) {
    AppendChars(text.chars, Capacity, text.length, text.overflowed, nullptr, ascii);
}
template <int Capacity>
void AppendWide(WideText<Capacity>& text, const WCHAR* wide) {
    AppendChars(text.chars, Capacity, text.length, text.overflowed, wide, "");
}

// What a registration is to write: the keeper's path and the two limits,
// each "0" where it was not given (the keeper leaves that one as it is).
struct TaskValues {
    WideText<kPathSize> keeper;
    char pluggedIn[4];
    char onBattery[4];
    const char* refusal;  // why the data was refused, when it was
};

// Reads "KEEPER|PLUGGEDIN|ONBATTERY": KEEPER a path that XML can hold as it
// stands (none of & < > ' "; the package gives its own folder's keeper),
// each value empty or a whole number from 0 to 100, at least one of them
// given. False, with values.refusal set, for anything else.
bool ReadTaskValues(const WCHAR* data, TaskValues& values);

// The task's definition (TaskXml.h, made from deploy/shared/PacecapTask.xml,
// where the build turns {KEEPER}, {PLUGGEDIN} and {ONBATTERY} into these
// marks) with the values filled in. False when it does not fit.
const char kKeeperMark = 1;
const char kPluggedInMark = 2;
const char kOnBatteryMark = 3;
bool FillTaskXml(const TaskValues& values, WideText<kXmlSize>& xml);

// What [ProgramFiles64Folder]Pacecap holds before an install.
enum class Folder {
    Absent,
    Leftover,  // empty, or only what an earlier Pacecap left: its files, and a Task folder of them
    Other,     // anything else, a link among it, or a read that failed
};
struct FolderFound {
    Folder verdict;
    bool task;  // a Task folder is there, a folder and not a link
};
// Looks into folder (no trailing backslash) and its Task folder, with
// GetFileAttributesW and FindFirstFileW, following no link.
FolderFound ExamineFolder(const WCHAR* folder);

// One step of the work with the Task Scheduler, as it ended.
struct Step {
    const char* what;   // e.g. "RegisterTask"
    LONG result;        // its HRESULT, or the registry's error code
};
// A missing task (HRESULT_FROM_WIN32 of ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND), which removal and a first registration expect.
bool IsMissing(LONG result);
// value as "0x" and eight hexadecimal digits, as the log shows a result.
void Hex(DWORD value, char (&digits)[kHexSize]);

}  // namespace taskaction
