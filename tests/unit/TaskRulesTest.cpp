#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "TaskRules.h"

using namespace taskaction;

namespace {

std::basic_string<WCHAR> Wide(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

std::string Narrow(const WCHAR* wide) {
    std::string text;
    for (; *wide; ++wide) text += *wide < 128 ? static_cast<char>(*wide) : '?';
    return text;
}

// Keeps [A-Za-z0-9_] and makes anything else '_'. Test discovery reads the
// list of tests, with each row's printed parameter, as a CMake list, where a
// trailing backslash escapes the separator and joins two tests into one.
std::string Safe(const std::string& text) {
    std::string safe = text;
    for (char& c : safe) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') c = '_';
    }
    return safe;
}

// A row's name: its number and the start of how it prints, safe.
struct RowName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return std::to_string(info.index) + "_" + Safe(::testing::PrintToString(info.param)).substr(0, 48);
    }
};

const char kSystem[] = "C:\\Windows\\system32";
const char kPowerShell[] = "\"C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe\" "
                           "-NoProfile -NonInteractive -ExecutionPolicy Bypass -File ";
const char kScript[] = "\"C:\\Program Files\\Pacecap\\Register-PacecapTask.ps1\"";

// CustomActionData -> PowerShell's command line, or the refusal.
struct CommandCase {
    std::string data;
    std::string expect;  // the whole command line after kPowerShell, or "refused: ..."
    std::string system = kSystem;
};

void PrintTo(const CommandCase& c, std::ostream* out) { *out << Safe(c.data + " in " + c.system); }

class CommandLineTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandLineTest, FromCustomActionData) {
    const CommandCase& c = GetParam();
    TaskRun run;
    WideText<kPathSize> powershell;
    WideText<kCommandLineSize> commandLine;
    std::string got;
    if (!ReadTaskData(Wide(c.data).c_str(), run)) {
        got = std::string("refused: ") + run.refusal;
    } else if (!BuildPowerShellPath(Wide(c.system).c_str(), powershell) ||
               !BuildCommandLine(powershell.chars, run, commandLine)) {
        got = "too long";
    } else {
        got = Narrow(commandLine.chars);
        const std::string prefix = std::string(kPowerShell);
        EXPECT_EQ(got.substr(0, prefix.size()), prefix);
        got = got.substr(prefix.size());
        EXPECT_EQ(run.seconds, 300u);
    }
    EXPECT_EQ(got, c.expect);
}

const std::string kFolder = "300|C:\\Program Files\\Pacecap\\";
const std::string kLongFolder = "300|C:\\" + std::string(250, 'x') + "\\";

INSTANTIATE_TEST_SUITE_P(Cases, CommandLineTest, ::testing::Values(
    CommandCase{kFolder + "|-PluggedIn 99|-OnBattery 80", std::string(kScript) + " -PluggedIn 99 -OnBattery 80"},
    CommandCase{kFolder + "|-PluggedIn 0|-OnBattery 100", std::string(kScript) + " -PluggedIn 0 -OnBattery 100"},
    CommandCase{kFolder + "|-PluggedIn |-OnBattery 80", std::string(kScript) + " -OnBattery 80"},
    CommandCase{kFolder + "|-PluggedIn 99|-OnBattery ", std::string(kScript) + " -PluggedIn 99"},
    CommandCase{kFolder + "|-PluggedIn |-OnBattery ", kScript},
    CommandCase{kFolder + "|-Remove", std::string(kScript) + " -Remove"},
    CommandCase{kFolder + "|-Remove", std::string(kScript) + " -Remove", "C:\\Windows\\system32\\"},
    CommandCase{kFolder + "|-PluggedIn 101", "refused: a value that is not a whole number from 0 to 100"},
    CommandCase{kFolder + "|-PluggedIn -1", "refused: a value that is not a whole number from 0 to 100"},
    CommandCase{kFolder + "|-PluggedIn 99; calc", "refused: a value that is not a whole number from 0 to 100"},
    CommandCase{kFolder + "|-OnBattery 1A", "refused: a value that is not a whole number from 0 to 100"},
    CommandCase{kFolder + "|-PluggedIn 00099", "refused: a value that is not a whole number from 0 to 100"},
    CommandCase{kFolder + "|-Pacecap C:\\x.exe", "refused: an argument other than -PluggedIn N, -OnBattery N or -Remove"},
    CommandCase{kFolder + "|-Remove ", "refused: an argument other than -PluggedIn N, -OnBattery N or -Remove"},
    CommandCase{kFolder + "|-Remove|-PluggedIn 5", "refused: -Remove with other arguments"},
    CommandCase{kFolder, "refused: fewer than three fields"},
    CommandCase{"", "refused: fewer than three fields"},
    CommandCase{"0|C:\\Program Files\\Pacecap\\|-Remove", "refused: a bound that is not a whole number of seconds from 1 to 3600"},
    CommandCase{"3601|C:\\Program Files\\Pacecap\\|-Remove", "refused: a bound that is not a whole number of seconds from 1 to 3600"},
    CommandCase{"|C:\\Program Files\\Pacecap\\|-Remove", "refused: a bound that is not a whole number of seconds from 1 to 3600"},
    CommandCase{"300|C:\\Program Files\\Pacecap|-Remove", "refused: a folder without its trailing backslash"},
    CommandCase{"300||-Remove", "refused: a folder without its trailing backslash"},
    CommandCase{"300|C:\\Pa\"cecap\\|-Remove", "refused: a folder with a double quote"},
    CommandCase{kLongFolder + "|-Remove", "refused: a folder too long"},
    CommandCase{kFolder + "|-Remove", "too long", std::string(kPathSize - 30, 's')},
    CommandCase{kFolder + "||||||||||||||", "refused: too many fields"}), RowName());

// Bytes of a stream, in the chunks they arrive in -> the lines logged.
struct LinesCase {
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
};

void PrintTo(const LinesCase& c, std::ostream* out) { *out << c.chunks.size() << " chunks"; }

class LinesTest : public ::testing::TestWithParam<LinesCase> {};

TEST_P(LinesTest, SplitAsTheyArrive) {
    Lines lines;
    StartLines(lines);
    std::vector<std::string> got;
    for (const std::string& chunk : GetParam().chunks) {
        for (char byte : chunk) {
            if (AddByte(lines, byte)) got.push_back(lines.line);
        }
    }
    if (EndLines(lines)) got.push_back(lines.line);
    EXPECT_FALSE(EndLines(lines));  // the end is taken once
    EXPECT_EQ(got, GetParam().lines);
}

const std::string kFull(kLineSize - 1, 'a');

INSTANTIATE_TEST_SUITE_P(Cases, LinesTest, ::testing::Values(
    LinesCase{{}, {}},
    LinesCase{{"one\r\ntwo\n"}, {"one", "two"}},
    LinesCase{{"on", "e\r", "\ntw", "o"}, {"one", "two"}},
    LinesCase{{"\r\n\n[1] x\r\n"}, {"", "", "[1] x"}},
    LinesCase{{"a\rb\n"}, {"a\rb"}},
    LinesCase{{kFull + "b\n"}, {kFull, "b"}},
    LinesCase{{kFull, "\n"}, {kFull, ""}},
    LinesCase{{kFull + kFull}, {kFull, kFull}}), RowName());

// How a run ended -> the log line and the verdict.
struct EndingCase {
    Ending ending;
    DWORD code;
    DWORD processes;
    const char* step;
    std::string data;
    std::string text;
    UINT verdict;
};

void PrintTo(const EndingCase& c, std::ostream* out) { *out << Safe(c.text); }

class EndingTest : public ::testing::TestWithParam<EndingCase> {};

TEST_P(EndingTest, SaysHowAndDecides) {
    const EndingCase& c = GetParam();
    TaskRun run;
    ASSERT_TRUE(ReadTaskData(Wide(c.data).c_str(), run));
    WideText<kMessageSize> text;
    DescribeEnding(run, c.ending, c.code, c.processes, c.step, text);
    EXPECT_EQ(Narrow(text.chars), c.text);
    EXPECT_EQ(Verdict(c.ending, c.code), c.verdict);
    DescribeFailure(run, text);
    EXPECT_NE(Narrow(text.chars).find(run.removes ? "stays installed, with its task" : "the install was undone"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, EndingTest, ::testing::Values(
    EndingCase{Ending::Exited, 0, 0, nullptr, kFolder + "|-PluggedIn 99|-OnBattery ",
               "Register-PacecapTask.ps1 -PluggedIn 99: exit code 0", ERROR_SUCCESS},
    EndingCase{Ending::Exited, 6, 0, nullptr, kFolder + "|-Remove", "Register-PacecapTask.ps1 -Remove: exit code 6",
               ERROR_INSTALL_FAILURE},
    EndingCase{Ending::Exited, 4294967295u, 0, nullptr, kFolder + "|-PluggedIn |-OnBattery ",
               "Register-PacecapTask.ps1: exit code 4294967295", ERROR_INSTALL_FAILURE},
    EndingCase{Ending::Stopped, 0, 2, nullptr, "5|C:\\P\\|-OnBattery 7",
               "Register-PacecapTask.ps1 -OnBattery 7: did not finish within 5 seconds, and was stopped with all it "
               "had started (2 processes)", ERROR_INSTALL_FAILURE},
    EndingCase{Ending::Stopped, 0, 1, nullptr, kFolder + "|-Remove",
               "Register-PacecapTask.ps1 -Remove: did not finish within 300 seconds, and was stopped with all it "
               "had started (1 process)", ERROR_INSTALL_FAILURE},
    EndingCase{Ending::Cancelled, 0, 1, nullptr, kFolder + "|-PluggedIn 99|-OnBattery 80",
               "Register-PacecapTask.ps1 -PluggedIn 99 -OnBattery 80: stopped with all it had started, as the install "
               "was cancelled", ERROR_INSTALL_USEREXIT},
    EndingCase{Ending::NotStarted, 2, 0, "CreateProcessW", kFolder + "|-Remove",
               "Register-PacecapTask.ps1 -Remove: Windows PowerShell could not be started: CreateProcessW failed "
               "with error 2", ERROR_INSTALL_FAILURE}), RowName());

// A line of output -> its log line.
struct OutputCase {
    bool errorStream;
    std::string line;
    std::string text;  // after "Register-PacecapTask.ps1 -Remove"
};

void PrintTo(const OutputCase& c, std::ostream* out) { *out << Safe(c.line); }

class OutputLineTest : public ::testing::TestWithParam<OutputCase> {};

TEST_P(OutputLineTest, NamesTheStreamAndEscapes) {
    const OutputCase& c = GetParam();
    TaskRun run;
    ASSERT_TRUE(ReadTaskData(Wide(kFolder + "|-Remove").c_str(), run));
    WideText<kMessageSize> text;
    DescribeOutputLine(run, c.errorStream, Wide(c.line).c_str(), text);
    EXPECT_EQ(Narrow(text.chars), "Register-PacecapTask.ps1 -Remove" + c.text);
}

const std::string kPrefix = "Register-PacecapTask.ps1 -Remove: ";
const std::string kRoom(kMessageSize - 1 - kPrefix.size() - 3, 'r');

INSTANTIATE_TEST_SUITE_P(Cases, OutputLineTest, ::testing::Values(
    OutputCase{false, "Task Pacecap removed", ": Task Pacecap removed"},
    OutputCase{true, "At line:1 char:2", " (error output): At line:1 char:2"},
    OutputCase{false, "", ": "},
    OutputCase{false, "[ProductName] {x} [1]", ": [\\[]ProductName[\\]] [\\{]x[\\}] [\\[]1[\\]]"},
    OutputCase{false, kRoom + "ab[", ": " + kRoom + "ab"},
    OutputCase{false, kRoom + "a[", ": " + kRoom + "a"},
    OutputCase{false, kRoom + "abcdef", ": " + kRoom + "abc"}), RowName());

}  // namespace
