#include "cli/package.h"
#include "tests/support/files.h"
#include "tests/support/text_conversion.h"
#include "win32/unique_handle.h"

#include <gtest/gtest.h>

using TestSupport::Narrow;
using TestSupport::PatternBytes;
using TestSupport::TempDirectory;
using TestSupport::WriteBytes;

namespace {

const std::vector<std::uint8_t> EARLIER = {0xDE, 0xAD};

std::string Text(const std::vector<std::uint8_t>& bytes) {
    return {bytes.begin(), bytes.end()};
}

TEST(Package, LoadsEveryByteOfTheFile) {
    const TempDirectory directory;
    // Longer than one read block of the loader.
    const std::string cases[] = {"", std::string("\r\n\x1A\0\xFF\n\r", 7),
                                 PatternBytes(20 * 1024 * 1024 + 3)};
    for (const std::string& content : cases) {
        SCOPED_TRACE(content.size());
        const std::wstring path = directory / L"package.ffu";
        WriteBytes(path, content);
        std::vector<std::uint8_t> image = EARLIER;
        ASSERT_EQ(LoadPackage(path, image), PackageLoad::Loaded);
        EXPECT_TRUE(Text(image) == content);
    }
}

TEST(Package, ReadsAFileThatOthersHaveOpenForReading) {
    const TempDirectory directory;
    const std::wstring path = directory / L"package.ffu";
    WriteBytes(path, "firmware");
    const Win32::UniqueHandle reader(CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader.IsValid());
    std::vector<std::uint8_t> image;
    ASSERT_EQ(LoadPackage(path, image), PackageLoad::Loaded);
    EXPECT_EQ(Text(image), "firmware");
}

TEST(Package, RefusesWhatCannotBeLoadedWhole) {
    const TempDirectory directory;
    const std::wstring locked = directory / L"locked.ffu";
    const std::wstring huge = directory / L"huge.ffu";
    const std::wstring copying = directory / L"copying.ffu";
    WriteBytes(locked, "firmware");
    const Win32::UniqueHandle writer = TestSupport::CopyInProgress(copying, PatternBytes(65536));
    const Win32::UniqueHandle lock(
        CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock.IsValid());
    {
        // One byte more than a 32-bit process can hold in one buffer; sparse, so it costs no disk space.
        const Win32::UniqueHandle file(
            CreateFileW(huge.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        LARGE_INTEGER size{};
        size.QuadPart = 0x80000000LL;
        ASSERT_TRUE(file.IsValid() && SetFilePointerEx(file.Get(), size, nullptr, FILE_BEGIN) &&
                    SetEndOfFile(file.Get()));
    }

    const std::pair<std::wstring, PackageLoad> cases[] = {
        {directory / L"missing.ffu", PackageLoad::Missing},
        {directory / L"no folder\\package.ffu", PackageLoad::Missing},
        {directory / L"bad<|>name.ffu", PackageLoad::Missing},
        {directory.Path(), PackageLoad::Unreadable},
        {locked, PackageLoad::Unreadable},
        {huge, PackageLoad::Unreadable},
        {copying, PackageLoad::Unreadable},
    };
    for (const auto& [path, outcome] : cases) {
        SCOPED_TRACE(Narrow(path));
        std::vector<std::uint8_t> image = EARLIER;
        EXPECT_EQ(LoadPackage(path, image), outcome);
        EXPECT_EQ(image, EARLIER);
    }
}

} // namespace
