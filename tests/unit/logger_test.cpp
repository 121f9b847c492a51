#include "tests/unit/unit_logger.h"
#include "diag/logger.h"
#include <gtest/gtest.h>
TEST(LoggerSmoke, Writes) {
    LogCapture capture;
    *logger << L"a\n" << std::uint32_t{65024} << "\xE9\n";
    EXPECT_EQ(capture.Text(), "a\r\n65024\xE9\r\n");
}
