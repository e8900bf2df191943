// The task action: registers and removes Pacecap's task itself, with the
// Task Scheduler's COM interface, and looks into a leftover install folder.
// COM rather than schtasks.exe: no child process to bound, no XML file to
// write where the service can read it, and each call's own HRESULT for the
// log. Each deferred entry point does its COM calls on a worker thread and
// waits for it at most kBoundMilliseconds: the one wait of the action, so a
// registration and its rollback together wait at most twice that. Every step
// goes into the installer log. The decisions are in TaskRules.cpp; this is
// the part that meets Windows.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <taskschd.h>

#include "TaskRules.h"

namespace taskaction {

namespace {

const DWORD kBoundMilliseconds = 60000;
const DWORD kMaxSteps = 8;
// Where a registration or removal keeps the task as it was, for its rollback
// to put back ("" for none) and its commit to forget: the key's default
// value. Only administrators write there, and the key goes with the value.
const WCHAR kKeepKey[] = L"SOFTWARE\\Pacecap";
const GUID kTaskScheduler = {0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
const GUID kTaskService = {0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};

enum class Work { Register, Remove, Restore };

// What the worker does and what it did. A global, not a frame: the worker
// may outlive the action that started it, past the bound.
struct Job {
    Work work;
    bool done;                   // the whole work succeeded
    WideText<kXmlSize> xml;      // to register: ours filled in, or the one kept
    VARIANT none;                // VT_EMPTY, for each argument left out: stays zeroed
    Step steps[kMaxSteps];
    volatile LONG count;         // steps written so far
    volatile LONG busy;          // a worker holds the job
};
Job job;

// One line into the installer log: text, then detail. True when the user
// has cancelled the install: an action that logs must then end and return
// ERROR_INSTALL_USEREXIT. Neither part holds "[", which the log would read
// as a property.
bool Log(MSIHANDLE install, const char* text, const char* detail = "", int kind = INSTALLMESSAGE_INFO) {
    MSIHANDLE record = MsiCreateRecord(2);
    if (!record) return false;
    MsiRecordSetStringA(record, 0, "Pacecap's task: [1] [2]");
    MsiRecordSetStringA(record, 1, text);
    MsiRecordSetStringA(record, 2, detail);
    const int answer = MsiProcessMessage(install, static_cast<INSTALLMESSAGE>(kind), record);
    MsiCloseHandle(record);
    return answer == IDCANCEL;
}

// Records a step; true when it succeeded.
bool Note(const char* what, LONG result) {
    const LONG n = job.count;
    if (n < static_cast<LONG>(kMaxSteps)) {
        job.steps[n].what = what;
        job.steps[n].result = result;
        InterlockedIncrement(&job.count);
    }
    return result >= 0;
}

BSTR Text(const WCHAR* chars) { return SysAllocString(chars); }

// Forgets the task as it was: the key goes with its value.
LONG Forget() { return RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKeepKey); }

// Keeps xml, the task as it was; or, with xml null, forgets it. What a
// restore could not read back is not kept.
bool Keep(const WCHAR* xml) {
    if (!xml) {
        const LONG error = Forget();
        return Note("forget old", error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error);
    }
    DWORD size = sizeof(WCHAR);
    while (xml[size / sizeof(WCHAR) - 1]) size += sizeof(WCHAR);
    // Makes the key where it is not there.
    return Note("keep old", size > sizeof job.xml.chars ? ERROR_INSUFFICIENT_BUFFER
                                                        : RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKeepKey, nullptr,
                                                                          REG_SZ, xml, size));
}

// Reads the kept task into job.xml; false where nothing was kept.
bool ReadKept() {
    DWORD size = sizeof job.xml.chars;
    // RRF_RT_REG_SZ ends the text with a zero, or fails.
    const LONG error = RegGetValueW(HKEY_LOCAL_MACHINE, kKeepKey, nullptr, RRF_RT_REG_SZ, nullptr, job.xml.chars,
                                    &size);
    Note("read old", error);
    return error == ERROR_SUCCESS;
}

// Keeps the task as it is ("" for none); found says whether it is there.
bool KeepBefore(ITaskFolder* folder, BSTR name, bool& found) {
    IRegisteredTask* task = nullptr;
    HRESULT result = folder->GetTask(name, &task);
    found = task != nullptr;
    if (!Note("GetTask", result) && !IsMissing(result)) return false;
    if (!task) return Keep(L"");
    BSTR xml = nullptr;
    result = task->get_Xml(&xml);
    task->Release();
    const bool kept = Note("get_Xml", result >= 0 && !xml ? E_POINTER : result) && Keep(xml);
    SysFreeString(xml);
    return kept;
}

bool RegisterXml(ITaskFolder* folder, BSTR name, const WCHAR* chars) {
    BSTR xml = Text(chars);
    BSTR system = Text(L"S-1-5-18");
    VARIANT user = job.none;
    user.vt = VT_BSTR;
    user.bstrVal = system;
    IRegisteredTask* task = nullptr;
    const HRESULT result = xml && system ? folder->RegisterTask(name, xml, TASK_CREATE_OR_UPDATE, user, job.none,
                                                               TASK_LOGON_SERVICE_ACCOUNT, job.none, &task)
                                         : E_OUTOFMEMORY;
    if (task) task->Release();
    SysFreeString(system);
    SysFreeString(xml);
    return Note("RegisterTask", result);
}

bool Delete(ITaskFolder* folder, BSTR name) {
    const HRESULT result = folder->DeleteTask(name, 0);
    return Note("DeleteTask", result) || IsMissing(result);
}

// The work in the root task folder.
bool DoWork(ITaskFolder* folder, BSTR name) {
    bool found = false;
    switch (job.work) {
    case Work::Register:
        return KeepBefore(folder, name, found) && RegisterXml(folder, name, job.xml.chars);
    case Work::Remove:
        return KeepBefore(folder, name, found) && (!found || Delete(folder, name));
    case Work::Restore:
        // Nothing kept: the action it undoes changed nothing.
        if (!ReadKept()) return true;
        return (job.xml.chars[0] ? RegisterXml(folder, name, job.xml.chars) : Delete(folder, name)) && Keep(nullptr);
    }
    return false;
}

bool Connect() {
    if (!Note("CoInitializeEx", CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return false;
    ITaskService* service = nullptr;
    ITaskFolder* folder = nullptr;
    BSTR root = Text(L"\\");
    BSTR name = Text(L"Pacecap");
    bool done = root && name &&
                Note("CoCreateInstance",
                     CoCreateInstance(kTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, kTaskService,
                                      reinterpret_cast<void**>(&service))) &&
                Note("Connect", service->Connect(job.none, job.none, job.none, job.none)) &&
                Note("GetFolder", service->GetFolder(root, &folder)) && DoWork(folder, name);
    if (folder) folder->Release();
    if (service) service->Release();
    SysFreeString(name);
    SysFreeString(root);
    CoUninitialize();
    return done;
}

// The worker holds its own reference to this DLL, which it lets go as it
// ends: an action that stopped waiting can return, and the DLL be unloaded
// by the installer, while it still runs.
DWORD WINAPI Worker(void* module) {
    job.done = Connect();
    InterlockedExchange(&job.busy, 0);
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
}

// Runs the job's work on a worker for at most the bound, and logs each
// step. True when it all succeeded; cancelled, when the user has.
bool RunWorker(MSIHANDLE install, bool& cancelled) {
    if (InterlockedCompareExchange(&job.busy, 1, 0) != 0) {
        cancelled = Log(install, "Task Scheduler still busy");
        return false;
    }
    job.count = 0;
    job.done = false;
    HMODULE module = nullptr;
    HANDLE thread = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&Worker), &module)) {
        thread = CreateThread(nullptr, 0, Worker, module, 0, nullptr);
        if (!thread) FreeLibrary(module);
    }
    if (!thread) job.busy = 0;  // no worker to race with
    const bool ended = thread && WaitForSingleObject(thread, kBoundMilliseconds) == WAIT_OBJECT_0;
    if (thread) CloseHandle(thread);
    const LONG count = job.count;
    for (LONG i = 0; i < count; ++i) {
        char result[kHexSize];
        Hex(static_cast<DWORD>(job.steps[i].result), result);
        cancelled = Log(install, job.steps[i].what, result) || cancelled;
    }
    if (!ended) cancelled = Log(install, thread ? "no answer in 60 s" : "no thread") || cancelled;
    return ended && job.done;
}

// The CustomActionData of a registration, read and filled into job.xml.
bool ReadRegistration(MSIHANDLE install) {
    TaskValues values;
    WCHAR data[kDataSize];
    DWORD size = kDataSize;
    const UINT got = MsiGetPropertyW(install, L"CustomActionData", data, &size);
    if (got != ERROR_SUCCESS) data[0] = 0;
    if (ReadTaskValues(data, values) && FillTaskXml(values, job.xml)) return true;
    Log(install, "refused", values.refusal ? values.refusal : "too long");
    return false;
}

// A deferred entry point: the work, its log, and the verdict. A rollback
// goes on whatever happens, and a user who cancelled knows: no message box
// for either.
UINT Deferred(MSIHANDLE install, Work work) {
    const bool rollback = MsiGetMode(install, MSIRUNMODE_ROLLBACK) != 0;
    bool cancelled = false;
    job.work = work;
    const bool done = (work != Work::Register || ReadRegistration(install)) && RunWorker(install, cancelled);
    if (cancelled && !rollback) return ERROR_INSTALL_USEREXIT;
    if (done) return ERROR_SUCCESS;
    if (!rollback) {
        Log(install, work == Work::Register ? "not registered; install undone. Without PLUGGEDIN "
                                              "and ONBATTERY it is left out."
                                            : "not removed; Pacecap stays. Run schtasks /delete /tn "
                                              "Pacecap /f, then uninstall again.",
            "", INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR);
    }
    return ERROR_INSTALL_FAILURE;
}

// The immediate look into [ProgramFiles64Folder]Pacecap before the launch
// conditions: EXISTINGFOLDER where it holds anything but an earlier
// Pacecap's files; LEFTOVERFOLDER where it holds only those, whose files the
// install then removes and writes anew with the package's rights;
// TASKFOLDER where its Task folder is a folder, which uninstall removes.
UINT CheckFolder(MSIHANDLE install) {
    WideText<kPathSize> folder;
    Clear(folder);
    // Room left for "Pacecap\Task\".
    DWORD size = kPathSize - 16;
    if (MsiGetPropertyW(install, L"ProgramFiles64Folder", folder.chars, &size) != ERROR_SUCCESS) size = 0;
    folder.length = static_cast<int>(size);
    Append(folder, "Pacecap");
    const FolderFound found = size ? ExamineFolder(folder.chars) : FolderFound{Folder::Other, false};
    const char* seen = "no folder";
    Append(folder, "\\");
    if (found.verdict == Folder::Other) {
        seen = "folder of other files";
        MsiSetPropertyW(install, L"EXISTINGFOLDER", L"1");
    } else if (found.verdict == Folder::Leftover) {
        seen = "folder of old files";
        MsiSetPropertyW(install, L"LEFTOVERFOLDER", folder.chars);
    }
    if (found.task) {
        Append(folder, "Task\\");
        MsiSetPropertyW(install, L"TASKFOLDER", folder.chars);
    }
    Log(install, seen, found.task ? "and Task" : "");
    return ERROR_SUCCESS;
}

}  // namespace

}  // namespace taskaction

extern "C" UINT __stdcall CheckFolder(MSIHANDLE install) { return taskaction::CheckFolder(install); }
extern "C" UINT __stdcall RegisterTask(MSIHANDLE install) {
    return taskaction::Deferred(install, taskaction::Work::Register);
}
extern "C" UINT __stdcall RemoveTask(MSIHANDLE install) {
    return taskaction::Deferred(install, taskaction::Work::Remove);
}
extern "C" UINT __stdcall RestoreTask(MSIHANDLE install) {
    return taskaction::Deferred(install, taskaction::Work::Restore);
}
// The commit of a registration or removal: the task as it was is no longer
// needed. A commit cannot undo anything, so it never fails.
extern "C" UINT __stdcall ForgetTask(MSIHANDLE) {
    taskaction::Forget();
    return ERROR_SUCCESS;
}

// The DLL's entry: nothing to set up or tear down.
extern "C" BOOL WINAPI TaskActionEntry(HINSTANCE, DWORD, void*) { return TRUE; }
