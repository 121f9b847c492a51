#include "cli/program_version.h"
#include "cli/windows_version.h"

#include <gtest/gtest.h>

// This test program carries neither a version resource nor a manifest.

namespace {

TEST(ProgramVersion, EmptyWithoutAVersionResource) {
    EXPECT_EQ(GetProgramVersion(), L"");
}

TEST(WindowsVersion, RefusedWithoutAManifestThatDeclaresWindows10) {
    // Windows reports an older version to a program that does not declare Windows 10.
    EXPECT_FALSE(IsWindowsVersionSupported());
}

} // namespace
