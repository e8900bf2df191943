// Which efficiency classes the processors have, and the power setting that
// holds the maximum processor state of each class.
#pragma once

#include <windows.h>

namespace pacecap {

// The highest class whose setting is known. On processors with two kinds of
// core the higher classes hold the faster cores.
const int kMaxEfficiencyClass = 2;

// GUID_PROCESSOR_SETTINGS_SUBGROUP, the subgroup of every setting below.
extern const GUID kProcessorSettingsSubgroup;

// The maximum processor state, in percent, of each efficiency class: class 0
// is GUID_PROCESSOR_THROTTLE_MAXIMUM (PROCTHROTTLEMAX), class 1
// PROCTHROTTLEMAX1, and class 2 the setting that some builds add after it.
extern const GUID kMaxProcessorStateSettings[kMaxEfficiencyClass + 1];

// The highest efficiency class among the processors, at most
// kMaxEfficiencyClass. 0 on a machine with one kind of core, and where the
// platform cannot tell (no CPU sets before Windows 10, or a failed query).
// Uses a static buffer: one caller at a time.
int HighestEfficiencyClass();

}  // namespace pacecap
