// Exits at once: the yardstick for the start-up cost of any program under Wine.
#include <windows.h>

extern "C" void DoNothingEntry() { ExitProcess(0); }
