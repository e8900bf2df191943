// Runs the program as the platform would start it, against the fakes.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "FakePlatform.h"
#include "Startup.h"

// Starts the program with commandLine and returns the exit code it ended with.
inline UINT RunProgram(const std::string& commandLine) {
    fake::Fake().commandLine = commandLine;
    try {
        ProgramEntry();
    } catch (const fake::ProcessExit& exit) {
        return exit.code;
    }
    ADD_FAILURE() << "ProgramEntry returned without ending the process";
    return 0xFFFFFFFF;
}

// Resets the fakes before each test and checks afterwards that every scheme
// identifier handed out was released exactly once.
class FakePlatformTest : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
    void TearDown() override {
        EXPECT_EQ(fake::Fake().schemesFreed, fake::Fake().schemesHandedOut);
        EXPECT_EQ(fake::Fake().badFrees, 0);
    }
    const std::string& Output() { return fake::Fake().output; }
};
