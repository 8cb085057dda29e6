// The interpreter version check of the Python module.
#include <gtest/gtest.h>

#include "version_check.h"

using LumivexPython::interpreterMatches;
using LumivexPython::versionMismatchMessage;

TEST(VersionCheck, AcceptsOnlyTheCompiledMinorVersion) {
    EXPECT_TRUE(interpreterMatches("3.10", "3.10.12 (main, Nov 20 2023) [GCC 11.4.0]"));
    EXPECT_TRUE(interpreterMatches("3.10", "3.10"));
    EXPECT_TRUE(interpreterMatches("3.11", "3.11.2 (main)"));
    EXPECT_FALSE(interpreterMatches("3.10", "3.100.1"));
    EXPECT_FALSE(interpreterMatches("3.10", "3.11.2"));
    EXPECT_FALSE(interpreterMatches("3.1", "3.11.2"));
    EXPECT_FALSE(interpreterMatches("3.10", "3.1"));
    EXPECT_FALSE(interpreterMatches("3.10", ""));
}

TEST(VersionCheck, MessageNamesBothVersions) {
    EXPECT_EQ(versionMismatchMessage("3.10", "3.11.2 (main)"),
              "Python version mismatch: module was compiled for Python 3.10, but the interpreter version is "
              "incompatible: 3.11.2 (main).");
}
