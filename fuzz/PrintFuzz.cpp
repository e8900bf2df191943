// Arbitrary text through LfToCrLf and printf, up to the buffer size and past
// it: the output never outgrows the buffer, and only carriage returns are added.
#include <cstring>
#include <memory>

#include "CRTreplace.h"
#include "FakePlatform.h"
#include "FuzzSupport.h"

using pacecap::kPrintBufferSize;

namespace {

// The text with the carriage returns that stand before a line feed removed.
std::string WithoutAddedCr(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    return out;
}

void CheckConversion(const std::string& text) {
    // Exactly the buffer's size, on the heap, so any write past it is caught.
    std::unique_ptr<char[]> buffer(new char[kPrintBufferSize]);
    const size_t stored = std::min(text.size(), static_cast<size_t>(kPrintBufferSize - 1));
    std::memcpy(buffer.get(), text.data(), stored);
    buffer[stored] = 0;
    pacecap::LfToCrLf(buffer.get());
    const void* end = std::memchr(buffer.get(), 0, kPrintBufferSize);
    FUZZ_ASSERT(end != nullptr, "no terminating zero");
    const std::string converted(buffer.get());
    for (size_t i = 0; i < converted.size(); ++i)
        if (converted[i] == '\n') FUZZ_ASSERT(i > 0 && converted[i - 1] == '\r', "bare LF at %zu", i);
    // Apart from the added carriage returns, the result is the input, or a cut
    // of it; a cut may fall between a carriage return and its line feed.
    std::string kept = WithoutAddedCr(converted);
    if (!kept.empty() && kept.back() == '\r') kept.pop_back();
    const std::string original = WithoutAddedCr(text.substr(0, stored));
    FUZZ_ASSERT(original.compare(0, kept.size(), kept) == 0 && kept.size() <= original.size(),
                "converted text is not a prefix of the input");
}

void CheckPrintf(const std::string& text) {
    fake::Reset();
    try {
        const int written = pacecap::printf("%s", text.c_str());
        FUZZ_ASSERT(text.size() < static_cast<size_t>(kPrintBufferSize), "a %zu-byte text was printed", text.size());
        FUZZ_ASSERT(written == static_cast<int>(fake::Fake().output.size()), "count %d", written);
        FUZZ_ASSERT(written <= kPrintBufferSize - 1, "wrote %d bytes", written);
    } catch (const fake::Breakpoint&) {
        FUZZ_ASSERT(text.size() >= static_cast<size_t>(kPrintBufferSize), "halted on %zu bytes", text.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    const std::string text = TextOf(data, size);
    CheckConversion(text);
    CheckPrintf(text);
    return 0;
}
