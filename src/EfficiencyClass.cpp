#include "EfficiencyClass.h"

#include "Startup.h"

namespace pacecap {

namespace {

// The start of SYSTEM_CPU_SET_INFORMATION, up to the field read here.
struct CpuSetHead {
    DWORD Size;
    DWORD Type;  // 0: CpuSetInformation
    DWORD Id;
    WORD Group;
    BYTE LogicalProcessorIndex;
    BYTE CoreIndex;
    BYTE LastLevelCacheIndex;
    BYTE NumaNodeIndex;
    BYTE EfficiencyClass;
};
const DWORD kCpuSetInformation = 0;

// The CPU sets of up to 2048 logical processors, 32 bytes each: static,
// since that is far too much for the stack.
alignas(8) BYTE cpuSets[2048 * 32];

}  // namespace

int HighestEfficiencyClass() {
    typedef BOOL(WINAPI * GetSystemCpuSetInformationFn)(void*, ULONG, ULONG*, HANDLE, ULONG);
    auto getSystemCpuSetInformation = KernelExport<GetSystemCpuSetInformationFn>("GetSystemCpuSetInformation");
    ULONG length = 0;
    if (!getSystemCpuSetInformation ||
        !getSystemCpuSetInformation(cpuSets, sizeof cpuSets, &length, nullptr, 0) || length > sizeof cpuSets)
        return 0;
    int highest = 0;
    // Each entry says its own size; one too short to hold the class ends the walk.
    for (ULONG at = 0; length - at >= sizeof(CpuSetHead);) {
        const CpuSetHead* entry = reinterpret_cast<const CpuSetHead*>(cpuSets + at);
        if (entry->Size < sizeof(CpuSetHead) || entry->Size > length - at) break;
        if (entry->Type == kCpuSetInformation && entry->EfficiencyClass > highest) highest = entry->EfficiencyClass;
        at += entry->Size;
    }
    return highest < kMaxEfficiencyClass ? highest : kMaxEfficiencyClass;
}

}  // namespace pacecap
