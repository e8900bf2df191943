#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakePlatform.h"
#include "TaskRules.h"

using namespace taskaction;

namespace {

std::basic_string<WCHAR> Wide(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

std::string Narrow(const WCHAR* wide) {
    std::string text;
    for (; *wide; ++wide) text += *wide < 128 ? static_cast<char>(*wide) : '?';
    return text;
}

// The text of each element named tag in xml, in order.
std::vector<std::string> Elements(const std::string& xml, const std::string& tag) {
    std::vector<std::string> found;
    for (size_t at = xml.find("<" + tag + ">"); at != std::string::npos; at = xml.find("<" + tag + ">", at + 1)) {
        const size_t from = at + tag.size() + 2;
        found.push_back(xml.substr(from, xml.find("</" + tag + ">", from) - from));
    }
    return found;
}

const std::string kKeeper = "C:\\Program Files\\Pacecap\\PacecapKeep.exe";

// CustomActionData -> the task's XML, field by field, or the refusal.
struct ValuesCase {
    std::string data;
    std::string arguments;  // the action's arguments, or "refused: ..."
    std::string keeper = kKeeper;
};

void PrintTo(const ValuesCase& c, std::ostream* out) { *out << c.data; }

class TaskXmlTest : public ::testing::TestWithParam<ValuesCase> {};

TEST_P(TaskXmlTest, FilledFromCustomActionData) {
    const ValuesCase& c = GetParam();
    TaskValues values;
    static WideText<kXmlSize> xml;
    if (!ReadTaskValues(Wide(c.data).c_str(), values)) {
        EXPECT_EQ(std::string("refused: ") + values.refusal, c.arguments);
        return;
    }
    ASSERT_TRUE(FillTaskXml(values, xml));
    const std::string text = Narrow(xml.chars);
    EXPECT_EQ(Elements(text, "Arguments"), std::vector<std::string>{c.arguments});
    // In quotes, as the path holds spaces.
    EXPECT_EQ(Elements(text, "Command"), std::vector<std::string>{"\"" + c.keeper + "\""});
    // The keeper's own changes do not trigger it again.
    EXPECT_NE(text.find("[@Name='ProcessPath']='" + c.keeper + "'"), std::string::npos);
    EXPECT_EQ(Elements(text, "UserId"), std::vector<std::string>{"S-1-5-18"});
    EXPECT_EQ(text.find_first_of(std::string("{\1\2\3", 4)), std::string::npos);
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cases, TaskXmlTest, ::testing::Values(
    ValuesCase{kKeeper + "|99|80", "99 80"},
    ValuesCase{kKeeper + "|99|", "99 0"},
    ValuesCase{kKeeper + "||80", "0 80"},
    ValuesCase{kKeeper + "|0|100", "0 100"},
    ValuesCase{"D:\\Pacecap\\PacecapKeep.exe|5|5", "5 5", "D:\\Pacecap\\PacecapKeep.exe"},
    ValuesCase{kKeeper + "||", "refused: no value"},
    ValuesCase{kKeeper + "|101|", "refused: value: not 0-100"},
    ValuesCase{kKeeper + "|-1|", "refused: value: not 0-100"},
    ValuesCase{kKeeper + "|99; x|", "refused: value: not 0-100"},
    ValuesCase{kKeeper + "||0099", "refused: value: not 0-100"},
    ValuesCase{"C:\\A&B\\PacecapKeep.exe|99|", "refused: keeper: & < > ' \""},
    ValuesCase{"C:\\A<B\\PacecapKeep.exe|99|", "refused: keeper: & < > ' \""},
    ValuesCase{"C:\\A'B\\PacecapKeep.exe|99|", "refused: keeper: & < > ' \""},
    ValuesCase{"C:\\A\"B\\PacecapKeep.exe|99|", "refused: keeper: & < > ' \""},
    ValuesCase{"C:\\" + std::string(300, 'x') + "|99|", "refused: keeper: too long"},
    ValuesCase{kKeeper + "|99", "refused: data: not KEEPER|P|B"},
    ValuesCase{kKeeper + "|99|80|1", "refused: data: not KEEPER|P|B"}));

const DWORD kDir = FILE_ATTRIBUTE_DIRECTORY;
const DWORD kLink = FILE_ATTRIBUTE_REPARSE_POINT;
const std::string kFolder = "C:\\Program Files\\Pacecap";
const std::string kTask = kFolder + "\\Task";
using Entries = std::vector<std::pair<std::string, DWORD>>;

// What the install folder holds -> the verdict, and the folders listed.
struct FolderCase {
    std::string what;
    std::map<std::string, Entries> folders;
    Folder verdict;
    bool task;
    std::vector<std::string> listed;  // the folders whose "\\*" was searched
    DWORD folderAttributes = 0;
    DWORD attributesError = 0;
};

void PrintTo(const FolderCase& c, std::ostream* out) { *out << c.what; }

class FolderTest : public ::testing::TestWithParam<FolderCase> {};

TEST_P(FolderTest, LooksIntoTheFolder) {
    const FolderCase& c = GetParam();
    fake::Reset();
    fake::Fake().folders = c.folders;
    fake::Fake().folderAttributes[kFolder] = c.folderAttributes;
    if (c.attributesError) fake::Fake().failures["GetFileAttributesW"] = c.attributesError;
    const FolderFound found = ExamineFolder(Wide(kFolder).c_str());
    EXPECT_EQ(found.verdict, c.verdict);
    EXPECT_EQ(found.task, c.task);
    std::vector<std::string> listed;
    for (const std::string& call : fake::CallsStartingWith("FindFirstFileW ")) listed.push_back(call.substr(15));
    std::vector<std::string> expected;
    for (const std::string& folder : c.listed) expected.push_back(folder + "\\*");
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(fake::CountCalls("FindClose"), static_cast<int>(listed.size()));
}

const Entries kEarlier = {{"Pacecap.exe", 0}, {"PacecapKeep.exe", 0}, {"Detect-Pacecap.ps1", 0},
                          {"Register-PacecapTask.ps1", 0}, {"Remediate-Pacecap.ps1", 0}};
const Entries kWithTask = {{"Pacecap.exe", 0}, {"Task", kDir}};
const Entries kTaskFiles = {{"PacecapKeep.exe", 0}, {"Pacecap.exe", 0}, {"Remediate-Pacecap.ps1", 0}};

INSTANTIATE_TEST_SUITE_P(Cases, FolderTest, ::testing::Values(
    FolderCase{"absent", {}, Folder::Absent, false, {}},
    FolderCase{"unreadable", {{kFolder, {}}}, Folder::Other, false, {}, 0, ERROR_ACCESS_DENIED},
    FolderCase{"empty", {{kFolder, {}}}, Folder::Leftover, false, {kFolder}},
    FolderCase{"an earlier Pacecap's files", {{kFolder, kEarlier}}, Folder::Leftover, false, {kFolder}},
    FolderCase{"names in another case", {{kFolder, {{"PACECAP.exe", 0}}}}, Folder::Leftover, false, {kFolder}},
    FolderCase{"a Task folder of the script's copies", {{kFolder, kWithTask}, {kTask, kTaskFiles}}, Folder::Leftover,
               true, {kFolder, kTask}},
    FolderCase{"another file", {{kFolder, {{"Pacecap.exe", 0}, {"notes.txt", 0}}}}, Folder::Other, false, {kFolder}},
    FolderCase{"another file in Task", {{kFolder, kWithTask}, {kTask, {{"x.dll", 0}}}}, Folder::Other, true,
               {kFolder, kTask}},
    FolderCase{"a folder in Task", {{kFolder, kWithTask}, {kTask, {{"Task", kDir}}}}, Folder::Other, true,
               {kFolder, kTask}},
    FolderCase{"another folder", {{kFolder, {{"Old", kDir}}}}, Folder::Other, false, {kFolder}},
    FolderCase{"a known name that is a link", {{kFolder, {{"Pacecap.exe", kLink}}}}, Folder::Other, false, {kFolder}},
    FolderCase{"a Task that is a link", {{kFolder, {{"Task", kDir | kLink}}}}, Folder::Other, false, {kFolder}},
    FolderCase{"the folder a link", {{kFolder, kEarlier}}, Folder::Other, false, {}, kLink}));

TEST(TaskStepTest, ResultsAsTheLogShowsThem) {
    const std::vector<std::pair<DWORD, std::string>> rows = {
        {0, "0x00000000"}, {0x80070002u, "0x80070002"}, {0x8004131Fu, "0x8004131F"}};
    for (const auto& row : rows) {
        char digits[kHexSize];
        Hex(row.first, digits);
        EXPECT_EQ(std::string(digits), row.second);
    }
    EXPECT_TRUE(IsMissing(static_cast<LONG>(0x80070002u)));
    EXPECT_TRUE(IsMissing(static_cast<LONG>(0x80070003u)));
    EXPECT_FALSE(IsMissing(static_cast<LONG>(0x80070005u)));
    EXPECT_FALSE(IsMissing(0));
}

}  // namespace
