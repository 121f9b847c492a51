#include "diag/win32_error.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

using TestSupport::SystemMessage;

namespace {

// A code for which the system has no text.
constexpr DWORD NO_TEXT = 0xE0001234;

TEST(Win32Error, JoinsContextAndSystemText) {
    ASSERT_NE(SystemMessage(2), "");
    ASSERT_EQ(SystemMessage(NO_TEXT), "");
    ASSERT_EQ(SystemMessage(0xFFFFFFFF), "");
    // Code 193's text carries an insert marker, which stays as it is.
    ASSERT_NE(SystemMessage(193).find("%1"), std::string::npos);
    const struct {
        DWORD code;
        const char* context;
        std::string text;
    } cases[] = {
        {2, "eMMC::eMMC - could not open device", "eMMC::eMMC - could not open device: " + SystemMessage(2)},
        {2, "", SystemMessage(2)},
        {193, "eMMC::CMD8", "eMMC::CMD8: " + SystemMessage(193)},
        {NO_TEXT, "eMMC::CMD8", "eMMC::CMD8: Unknown Windows error No. 3758101044."},
        {NO_TEXT, "", "Unknown Windows error No. 3758101044."},
        {0xFFFFFFFF, "x", "x: Unknown Windows error No. 4294967295."},
    };
    for (const auto& [code, context, text] : cases) {
        SCOPED_TRACE(std::to_string(code) + " '" + context + "'");
        const Windows::Win32Error error(code, context);
        EXPECT_EQ(error.what(), text);
        EXPECT_EQ(error.what(), text);
        // NOLINTNEXTLINE(performance-unnecessary-copy-initialization): a copy is what is tested
        const Windows::Win32Error copy = error;
        EXPECT_EQ(copy.what(), text);
    }
}

} // namespace
