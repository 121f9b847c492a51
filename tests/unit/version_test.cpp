#include "cli/program_version.h"
#include "cli/windows_version.h"

#include <gtest/gtest.h>

// Built once per version resource; EXPECTED_VERSION is the banner's text for it.
#define QUILLON_TEXT(x) QUILLON_TEXT_OF(x)
#define QUILLON_TEXT_OF(x) L## #x

namespace {

TEST(ProgramVersion, ShowsThreeComponentsOfTheProductVersion) {
    EXPECT_EQ(GetProgramVersion(), QUILLON_TEXT(EXPECTED_VERSION));
}

TEST(WindowsVersion, SupportedWithAManifestThatDeclaresWindows10) {
    EXPECT_TRUE(IsWindowsVersionSupported());
}

} // namespace
