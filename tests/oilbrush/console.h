// The driver run in-process on what a user types, its standard output captured, in a
// scratch folder of its own for each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver.h"
#include "files.h"

struct Console {
    int status;
    std::string out;
};

inline Console typeAtPrompt(const std::string& typed) {
    FILE* in = typed.empty() ? std::fopen("/dev/null", "r")  // fmemopen refuses size 0
                             : fmemopen(const_cast<char*>(typed.data()), typed.size(), "r");
    testing::internal::CaptureStdout();
    const int status = oilbrush::runOilbrush(in);
    std::fflush(stdout);
    Console console{status, testing::internal::GetCapturedStdout()};
    std::fclose(in);
    return console;
}

class InScratchFolder : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override {
        dir = testfiles::makeTempDir("oil");
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override { EXPECT_TRUE(testfiles::removeTree(dir)); }
};
