// Which efficiency classes the processors have, and the power setting that
// holds the maximum processor state of each class.
#pragma once

#include <windows.h>

namespace pacecap {

// The highest class whose setting is known. On processors with two kinds of
// core the higher classes hold the faster cores.
const int kMaxEfficiencyClass = 2;

// Defined here, not only declared: the compiler then addresses them directly
// instead of through a pointer the linker would have to add.

// GUID_PROCESSOR_SETTINGS_SUBGROUP, the subgroup of every setting below.
inline constexpr GUID kProcessorSettingsSubgroup = {
    0x54533251, 0x82BE, 0x4824, {0x96, 0xC1, 0x47, 0xB6, 0x0B, 0x74, 0x0D, 0x00}};

// The maximum processor state, in percent, of each efficiency class: class 0
// is GUID_PROCESSOR_THROTTLE_MAXIMUM (PROCTHROTTLEMAX), class 1
// PROCTHROTTLEMAX1, and class 2 the setting that some builds add after it.
inline constexpr GUID kMaxProcessorStateSettings[kMaxEfficiencyClass + 1] = {
    {0xBC5038F7, 0x23E0, 0x4960, {0x96, 0xDA, 0x33, 0xAB, 0xAF, 0x59, 0x35, 0xEC}},
    {0xBC5038F7, 0x23E0, 0x4960, {0x96, 0xDA, 0x33, 0xAB, 0xAF, 0x59, 0x35, 0xED}},
    {0xBC5038F7, 0x23E0, 0x4960, {0x96, 0xDA, 0x33, 0xAB, 0xAF, 0x59, 0x35, 0xEE}}};

// The highest efficiency class among the processors, at most
// kMaxEfficiencyClass. 0 on a machine with one kind of core, and where the
// platform cannot tell (no CPU sets before Windows 10, or a failed query).
// Uses a static buffer: one caller at a time.
int HighestEfficiencyClass();

}  // namespace pacecap
