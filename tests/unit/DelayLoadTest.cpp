#include <cstddef>
#include <cstring>

#include "DelayLoad.h"
#include "Scenario.h"

namespace {

using pacecap::BindDelayedImport;

// The parts of an image that one library's delayed imports use, laid out
// like the linker lays them out, with addresses relative to the start.
struct ImportByName {
    WORD hint;
    char name[30];
};

struct FakeImage {
    pacecap::DelayImportDescriptor descriptor;
    HMODULE handle;
    FARPROC iat[4];
    ULONGLONG names[4];
    char library[16];
    ImportByName functions[2];
};

const ULONGLONG kByOrdinal = 0x8000000000000000ull;

DWORD Rva(const FakeImage& image, const void* field) {
    return static_cast<DWORD>(static_cast<const char*>(field) - reinterpret_cast<const char*>(&image));
}

class DelayLoadTest : public FakePlatformTest {
protected:
    FakeImage image;

    void SetUp() override {
        FakePlatformTest::SetUp();
        std::memset(&image, 0, sizeof image);
        std::strcpy(image.library, "POWRPROF.dll");
        std::strcpy(image.functions[0].name, "PowerGetActiveScheme");
        std::strcpy(image.functions[1].name, "PowerSetActiveScheme");
        image.names[0] = Rva(image, &image.functions[0]);
        image.names[1] = Rva(image, &image.functions[1]);
        image.names[2] = kByOrdinal | 7;
        image.names[3] = kByOrdinal | 0xFFFF;  // the highest ordinal
        image.descriptor = {1, Rva(image, image.library), Rva(image, &image.handle), Rva(image, image.iat),
                            Rva(image, image.names), 0, 0, 0};
        fake::Fake().libraries["POWRPROF.dll"] = {"PowerGetActiveScheme", "PowerSetActiveScheme", "#7", "#65535"};
    }

    FARPROC Bind(int slot) {
        return BindDelayedImport(reinterpret_cast<const char*>(&image), &image.descriptor, &image.iat[slot]);
    }

    // Binds a slot that must fail; returns the code the process ended with.
    UINT FailedBindExitCode(int slot) {
        try {
            Bind(slot);
        } catch (const fake::ProcessExit& exit) {
            return exit.code;
        }
        ADD_FAILURE() << "returned from a failed binding";
        return 0;
    }
};

TEST_F(DelayLoadTest, FirstCall_LoadsLibraryByPlainNameAndBindsSlot) {
    const FARPROC expected = fake::FunctionAddress("POWRPROF.dll", "PowerSetActiveScheme");
    ASSERT_NE(expected, nullptr);
    EXPECT_EQ(Bind(1), expected);
    EXPECT_EQ(image.iat[1], expected);
    EXPECT_EQ(image.iat[0], nullptr);
    EXPECT_EQ(image.handle, fake::LibraryHandle("POWRPROF.dll"));
    EXPECT_EQ(fake::Fake().calls,
              std::vector<std::string>({"LoadLibraryA(\"POWRPROF.dll\")", "GetProcAddress(PowerSetActiveScheme)"}));
}

TEST_F(DelayLoadTest, LaterFunctionsOfSameLibrary_NoSecondLoad) {
    Bind(0);
    EXPECT_EQ(Bind(1), fake::FunctionAddress("POWRPROF.dll", "PowerSetActiveScheme"));
    EXPECT_EQ(Bind(2), fake::FunctionAddress("POWRPROF.dll", "#7"));
    EXPECT_EQ(Bind(3), fake::FunctionAddress("POWRPROF.dll", "#65535"));
    EXPECT_EQ(fake::CountCalls("LoadLibraryA"), 1);
}

TEST_F(DelayLoadTest, MissingLibrary_EndsWithConventionalStatus) {
    fake::Fake().libraries.clear();
    EXPECT_EQ(FailedBindExitCode(0), pacecap::kDelayLoadLibraryNotFound);
    EXPECT_EQ(image.handle, nullptr);
    EXPECT_EQ(image.iat[0], nullptr);
}

TEST_F(DelayLoadTest, MissingFunction_EndsWithConventionalStatus) {
    fake::Fake().libraries["POWRPROF.dll"] = {"PowerGetActiveScheme"};
    EXPECT_EQ(FailedBindExitCode(1), pacecap::kDelayLoadFunctionNotFound);
    EXPECT_EQ(image.handle, fake::LibraryHandle("POWRPROF.dll"));
    EXPECT_EQ(image.iat[1], nullptr);
}

}  // namespace
