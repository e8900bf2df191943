#include <cstring>
#include <fstream>
#include <string>

#include "CRTreplace.h"
#include "Scenario.h"

using pacecap::kPrintBufferSize;

namespace {

// The number of the first line of CRTreplace.cpp that holds code, or 0.
int LineOf(const std::string& code) {
    std::ifstream source(PACECAP_SOURCE_DIR "/CRTreplace.cpp");
    std::string line;
    for (int number = 1; std::getline(source, line); ++number) {
        if (line.find(code) != std::string::npos) return number;
    }
    return 0;
}

// Converts text in a print-sized buffer followed by guard bytes and checks
// that neither the guard nor the terminating zero went missing.
std::string Convert(const std::string& text) {
    const int kGuard = 64;
    alignas(4) char buffer[kPrintBufferSize + kGuard];
    std::memset(buffer, '#', sizeof buffer);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    char* result = pacecap::LfToCrLf(buffer);
    EXPECT_EQ(result, buffer);
    for (int i = kPrintBufferSize; i < kPrintBufferSize + kGuard; ++i) EXPECT_EQ(buffer[i], '#') << i;
    EXPECT_NE(std::memchr(buffer, 0, kPrintBufferSize), nullptr);
    return buffer;
}

TEST(LfToCrLfTest, BareLineFeedsGainCarriageReturn) {
    EXPECT_EQ(Convert("a\nb"), "a\r\nb");
    EXPECT_EQ(Convert("\nx"), "\r\nx");
    EXPECT_EQ(Convert("\n\n"), "\r\n\r\n");
    EXPECT_EQ(Convert("end\n"), "end\r\n");
}

TEST(LfToCrLfTest, ExistingCrLfAndLoneCrUnchanged) {
    EXPECT_EQ(Convert("a\r\nb\r\n"), "a\r\nb\r\n");
    EXPECT_EQ(Convert("a\rb"), "a\rb");
    EXPECT_EQ(Convert(""), "");
}

TEST(LfToCrLfTest, TextThatWouldOverflow_CutToFitWithoutHalfLineEnd) {
    const std::string converted = Convert(std::string(1000, '\n'));
    EXPECT_LE(converted.size(), static_cast<size_t>(kPrintBufferSize - 1));
    EXPECT_GE(converted.size(), static_cast<size_t>(kPrintBufferSize - 2));
    EXPECT_EQ(converted.size() % 2, 0u);
    for (size_t i = 0; i < converted.size(); i += 2) ASSERT_EQ(converted.substr(i, 2), "\r\n") << i;

    const std::string longest(kPrintBufferSize - 1, 'x');
    EXPECT_EQ(Convert(longest), longest);
    EXPECT_EQ(Convert(std::string(kPrintBufferSize - 2, 'x') + "\n"), std::string(kPrintBufferSize - 2, 'x'));
}

TEST(CopyWordsTest, CopiesWholeWordsOnly) {
    alignas(4) char to[12];
    alignas(4) const char from[12] = "abcdefghij";
    std::memset(to, '.', sizeof to);
    EXPECT_EQ(pacecap::CopyWords(to, from, 7), to);
    EXPECT_EQ(std::string(to, sizeof to), "abcd........");
    pacecap::CopyWords(to, from, 12);
    EXPECT_EQ(std::memcmp(to, from, 12), 0);
}

class PrintfTest : public FakePlatformTest {};

TEST_F(PrintfTest, WritesConvertedTextOnceAndReturnsByteCount) {
    EXPECT_EQ(pacecap::printf("value %lu%%\n", 4000000000u), 19);
    EXPECT_EQ(Output(), "value 4000000000%\r\n");
    EXPECT_EQ(fake::CallsStartingWith("WriteFile"), std::vector<std::string>({"WriteFile(19)"}));
}

TEST_F(PrintfTest, FailedWrite_ReturnsMinusOne) {
    fake::Fake().writeFails = true;
    EXPECT_EQ(pacecap::printf("text\n"), -1);
}

TEST_F(PrintfTest, FormattedTextTooLong_ReportsAndHaltsAtBreakpoint) {
    const std::string huge(kPrintBufferSize, 'x');
    EXPECT_THROW(pacecap::printf("%s", huge.c_str()), fake::Breakpoint);
    EXPECT_EQ(Output(), " INT3 in .\\CRTreplace line " + std::to_string(LineOf("formatted >= kPrintBufferSize")) +
                            ", function printf\r\n");
    EXPECT_EQ(fake::CallsStartingWith("Sleep"), std::vector<std::string>({"Sleep(100)"}));
    EXPECT_EQ(fake::Fake().calls.back(), "__debugbreak");
}

TEST_F(PrintfTest, LongestTextFits) {
    const std::string longest(kPrintBufferSize - 1, 'y');
    EXPECT_EQ(pacecap::printf("%s", longest.c_str()), kPrintBufferSize - 1);
    EXPECT_EQ(Output(), longest);
}

TEST_F(PrintfTest, DbgPrintf_ShowsLevelFiveAndBelowOnly) {
    EXPECT_EQ(pacecap::DbgPrintf(6, "hidden %u", 42u), 9);
    EXPECT_EQ(Output(), "");
    EXPECT_EQ(pacecap::DbgPrintf(5, "shown %s", "here"), 13);
    EXPECT_EQ(Output(), " shown here\r\n");
}

}  // namespace
