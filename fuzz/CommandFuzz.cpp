// Arbitrary argument tables against the fake power platform, with any power
// operation failing: nothing is written unless every value given begins with
// a number and lies in 0..100, the exit code is 0 to 3, and every scheme
// identifier obtained is released once.
//
// Input: one byte selecting the failing operations, then the arguments,
// separated by line feeds.
#include <string>
#include <vector>

#include "Command.h"
#include "FakePlatform.h"
#include "FuzzSupport.h"

namespace {

const char* const kOperations[] = {"PowerGetActiveScheme", "PowerReadACValueIndex", "PowerReadDCValueIndex",
                                   "PowerWriteACValueIndex", "PowerWriteDCValueIndex", "PowerSetActiveScheme"};
const size_t kMaxArguments = 6;

// The percentage an argument asks for, read independently of the program:
// an optional minus and decimal digits at the start. -1 when it asks for none.
long RequestedPercent(const std::string& text) {
    size_t at = text.size() > 0 && text[0] == '-' ? 1 : 0;
    const bool negative = at == 1;
    if (at >= text.size() || text[at] < '0' || text[at] > '9') return -1;
    long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > 100) return -1;
    }
    return negative && value != 0 ? -1 : value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    if (size < 1) return 0;
    fake::Reset();
    const unsigned failing = data[0];
    for (unsigned i = 0; i < 6; ++i)
        if (failing & (1u << i)) fake::Fake().failures[kOperations[i]] = 5;

    std::vector<std::string> arguments = {"Pacecap"};
    std::string rest = TextOf(data + 1, size - 1);
    for (size_t start = 0; arguments.size() <= kMaxArguments;) {
        const size_t end = rest.find('\n', start);
        arguments.push_back(rest.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (rest.empty()) arguments.pop_back();
    std::vector<const char*> table;
    for (const auto& argument : arguments) table.push_back(argument.c_str());

    const int count = static_cast<int>(table.size());
    const int exitCode = pacecap::main(count, table.data());

    FUZZ_ASSERT(exitCode >= 0 && exitCode <= 3, "exit code %d", exitCode);
    FUZZ_ASSERT(fake::Fake().schemesFreed == fake::Fake().schemesHandedOut && fake::Fake().badFrees == 0,
                "%d schemes obtained, %d released, %d bad releases", fake::Fake().schemesHandedOut,
                fake::Fake().schemesFreed, fake::Fake().badFrees);
    const auto writes = fake::CallsStartingWith("PowerWrite");
    if (writes.empty()) return 0;

    FUZZ_ASSERT(count >= 2, "a write with %d arguments", count);
    const long pluggedIn = RequestedPercent(arguments[1]);
    const long onBattery = count >= 3 ? RequestedPercent(arguments[2]) : 0;
    FUZZ_ASSERT(pluggedIn >= 0 && onBattery >= 0, "wrote for '%s' '%s'", arguments[1].c_str(),
                count >= 3 ? arguments[2].c_str() : "");
    FUZZ_ASSERT(writes[0] == "PowerWriteACValueIndex(" + std::to_string(pluggedIn) + ")", "%s", writes[0].c_str());
    if (onBattery != 0)
        FUZZ_ASSERT(writes.size() == 2 && writes[1] == "PowerWriteDCValueIndex(" + std::to_string(onBattery) + ")",
                    "on-battery writes wrong for %ld", onBattery);
    else
        FUZZ_ASSERT(writes.size() == 1, "on-battery written for 0");
    return 0;
}
