#include <string>
#include <vector>

#include "Scenario.h"

using pacecap::kArgumentTableSize;

namespace {

struct Split {
    int count;
    std::vector<std::string> args;
};

class SplitCommandLineTest : public FakePlatformTest {
protected:
    // Table with guard entries behind it, to catch a write past its end.
    static const int kGuards = 4;
    const char* table[kArgumentTableSize + kGuards];
    const char* const kGuard = "guard";

    Split Run(const std::string& line) {
        fake::Fake().commandLine = line;
        for (auto& entry : table) entry = kGuard;
        int count = -1;
        pacecap::SplitCommandLine(&count, table);
        for (int i = kArgumentTableSize; i < kArgumentTableSize + kGuards; ++i) EXPECT_EQ(table[i], kGuard);
        Split split{count, {}};
        for (int i = 0; i < count; ++i) {
            EXPECT_GE(table[i], pacecap::CommandLineBuffer);
            EXPECT_LT(table[i], pacecap::CommandLineBuffer + pacecap::kCommandLineBufferSize);
            split.args.push_back(table[i]);
        }
        return split;
    }
};

using Args = std::vector<std::string>;

TEST_F(SplitCommandLineTest, ProgramNameAlone_CountOne) {
    Split split = Run("Pacecap.exe");
    EXPECT_EQ(split.count, 1);
    EXPECT_EQ(split.args, Args({"Pacecap.exe"}));
}

TEST_F(SplitCommandLineTest, SpaceSeparatedValues) {
    EXPECT_EQ(Run("Pacecap 99 80").args, Args({"Pacecap", "99", "80"}));
}

TEST_F(SplitCommandLineTest, RunsOfSpacesAndTrailingSpaces_NoEmptyArguments) {
    Split split = Run("Pacecap   99     80    ");
    EXPECT_EQ(split.count, 3);
    EXPECT_EQ(split.args, Args({"Pacecap", "99", "80"}));
}

TEST_F(SplitCommandLineTest, QuotesGroupAndStay) {
    EXPECT_EQ(Run("\"C:\\Program Files\\Pacecap.exe\" 50").args,
              Args({"\"C:\\Program Files\\Pacecap.exe\"", "50"}));
    EXPECT_EQ(Run("Pacecap \"99 80\"").args, Args({"Pacecap", "\"99 80\""}));
    EXPECT_EQ(Run("Pacecap a\"b c\"d e").args, Args({"Pacecap", "a\"b c\"d", "e"}));
}

TEST_F(SplitCommandLineTest, UnclosedQuote_RunsToEndOfLine) {
    EXPECT_EQ(Run("Pacecap \"99 80  ").args, Args({"Pacecap", "\"99 80  "}));
}

TEST_F(SplitCommandLineTest, TabDoesNotSeparate) {
    EXPECT_EQ(Run("Pacecap 99\t80").args, Args({"Pacecap", "99\t80"}));
}

TEST_F(SplitCommandLineTest, LeadingSpace_EmptyFirstEntryIsKept) {
    EXPECT_EQ(Run(" Pacecap 99").args, Args({"", "Pacecap", "99"}));
    EXPECT_EQ(Run("   ").args, Args({""}));
}

TEST_F(SplitCommandLineTest, EmptyLine_CountZeroTableUntouched) {
    EXPECT_EQ(Run("").count, 0);
    EXPECT_EQ(table[0], kGuard);
}

TEST_F(SplitCommandLineTest, LongestLineIsSplit_OneMoreIsNot) {
    const std::string head = "Pacecap 7 ";
    Split split = Run(head + std::string(511 - head.size(), 'x'));
    EXPECT_EQ(split.count, 3);
    EXPECT_EQ(split.args[2].size(), 511 - head.size());

    EXPECT_EQ(Run(head + std::string(512 - head.size(), 'x')).count, 0);
    EXPECT_STREQ(table[0], "");
}

TEST_F(SplitCommandLineTest, MoreArgumentsThanTable_RestIgnored) {
    std::string line = "Pacecap";
    for (int i = 1; i < 100; ++i) line += " " + std::to_string(i);
    Split split = Run(line);
    ASSERT_EQ(split.count, kArgumentTableSize);
    EXPECT_EQ(split.args.back(), std::to_string(kArgumentTableSize - 1));
}

TEST_F(SplitCommandLineTest, TableFilledExactly_LastArgumentKept) {
    std::string line = "Pacecap";
    for (int i = 1; i < kArgumentTableSize; ++i) line += " " + std::to_string(i);
    Split split = Run(line + "   ");
    ASSERT_EQ(split.count, kArgumentTableSize);
    EXPECT_EQ(split.args.back(), std::to_string(kArgumentTableSize - 1));
}

class DllSearchTest : public FakePlatformTest {};

TEST_F(DllSearchTest, System32Restriction_UsedWhenAvailable) {
    EXPECT_NE(pacecap::UseSystem32DllSearch(), 0);
    EXPECT_EQ(fake::CallsStartingWith("SetD"), std::vector<std::string>({"SetDefaultDllDirectories(2048)"}));
}

TEST_F(DllSearchTest, System32Restriction_MissingOrFailing_ReturnsZero) {
    fake::Fake().setDefaultDllDirectoriesResult = FALSE;
    EXPECT_EQ(pacecap::UseSystem32DllSearch(), 0);
    fake::Fake().hasSetDefaultDllDirectories = false;
    EXPECT_EQ(pacecap::UseSystem32DllSearch(), 0);
}

TEST_F(DllSearchTest, CurrentDirectoryRemoval_SkippedWhenMissing) {
    pacecap::RemoveCurrentDirFromDllSearch();
    fake::Fake().hasSetDllDirectoryA = false;
    pacecap::RemoveCurrentDirFromDllSearch();
    EXPECT_EQ(fake::CallsStartingWith("SetDllDirectoryA"), std::vector<std::string>({"SetDllDirectoryA(\"\")"}));
}

TEST_F(DllSearchTest, Main_RestrictsSearchBeforeAnyOtherCall) {
    RunProgram("Pacecap 99 80");
    ASSERT_GE(fake::Fake().calls.size(), 2u);
    EXPECT_EQ(fake::Fake().calls[0], "GetCommandLineA");
    EXPECT_EQ(fake::Fake().calls[1], "GetModuleHandleA(\"kernel32.dll\")");
    EXPECT_EQ(fake::Fake().calls[2], "SetDefaultDllDirectories(2048)");
    EXPECT_EQ(fake::CountCalls("SetDllDirectoryA"), 0);
}

TEST_F(DllSearchTest, Main_FallsBackWhenRestrictionFails) {
    fake::Fake().setDefaultDllDirectoriesResult = FALSE;
    RunProgram("Pacecap 0");
    const auto& calls = fake::Fake().calls;
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(calls[2], "SetDefaultDllDirectories(2048)");
    EXPECT_EQ(calls[4], "SetDllDirectoryA(\"\")");
}

TEST_F(DllSearchTest, ProgramEntry_EndsWithMainsExitCode) {
    EXPECT_EQ(RunProgram("Pacecap"), 1u);
    EXPECT_EQ(fake::Fake().calls.back(), "ExitProcess(1)");
    EXPECT_EQ(RunProgram("Pacecap 0"), 0u);
}

}  // namespace
