#include "tests/support/child_process.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace {

const std::string BANNER = "Quillon v1.0.3\r\nCopyright (c) 2026 ZELT. All rights reserved.\r\n\r\n";
const std::string USAGE = "Usage:\r\n"
                          "\r\n"
                          "    Quillon /T:<drive number> /D:<FFU data file>\r\n"
                          "\r\n"
                          "  where:\r\n"
                          "    <drive number>      - drive number to be updated (0 is first drive)\r\n"
                          "    <FFU data file>     - path to data file containing the FFU package\r\n"
                          "\r\n";

TEST(Tool, WithoutArgumentsPrintsBannerAndUsage) {
    TempDirectory directory;
    const RunResult result = RunProgram({BuiltProgram(L"quillon.exe"), L"", directory.Path(), {}});
    EXPECT_EQ(result.exitCode, 8u);
    EXPECT_EQ(ReadBytes(directory / L"quillon.log"), BANNER + USAGE);
    EXPECT_EQ(result.output, "");
}

} // namespace
