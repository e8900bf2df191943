// Arbitrary command lines: the count stays within the table, every argument
// lies inside the buffer, and nothing outside them is touched (ASan).
#include <memory>

#include "FakePlatform.h"
#include "FuzzSupport.h"
#include "Startup.h"

using pacecap::CommandLineBuffer;
using pacecap::kArgumentTableSize;
using pacecap::kCommandLineBufferSize;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    fake::Reset();
    fake::Fake().commandLine = TextOf(data, size);
    // Exactly the table's size, on the heap, so a write past it is caught.
    std::unique_ptr<const char*[]> table(new const char*[kArgumentTableSize]);
    int count = -1;
    pacecap::SplitCommandLine(&count, table.get());

    const size_t length = fake::Fake().commandLine.size();
    FUZZ_ASSERT(count >= 0 && count <= kArgumentTableSize, "count %d", count);
    if (length >= static_cast<size_t>(kCommandLineBufferSize)) FUZZ_ASSERT(count == 0, "count %d", count);
    if (length > 0 && length < static_cast<size_t>(kCommandLineBufferSize))
        FUZZ_ASSERT(count >= 1, "count %d for a line of %zu bytes", count, length);
    const char* previous = nullptr;
    for (int i = 0; i < count; ++i) {
        const char* argument = table[i];
        FUZZ_ASSERT(argument >= CommandLineBuffer && argument < CommandLineBuffer + kCommandLineBufferSize,
                    "argument %d outside the buffer", i);
        FUZZ_ASSERT(argument > previous, "argument %d out of order", i);
        FUZZ_ASSERT(argument <= CommandLineBuffer + length, "argument %d past the line", i);
        previous = argument;
    }
    return 0;
}
