#include "probe/new_file.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

using TestSupport::FileExists;
using TestSupport::ReadBytes;
using TestSupport::TempDirectory;
using TestSupport::WriteBytes;

namespace {

// The description file is written whole or removed; when, between its creation and that end, somebody who
// may write the folder swaps the folder for another that holds a file of the same name, that file stays as
// it is.
TEST(NewFile, WritesOrRemovesOnlyTheFileItCreated) {
    for (const bool swapped : {false, true}) {
        for (const bool written : {false, true}) {
            SCOPED_TRACE(std::string(swapped ? "folder swapped, " : "") +
                         (written ? "written" : "discarded"));
            const TempDirectory directory;
            const std::wstring folder = directory / L"reports";
            const std::wstring moved = directory / L"moved";
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
            NewFile twin(folder + L"\\twin.txt");
            ASSERT_TRUE(twin.IsOpen());
            if (swapped) {
                ASSERT_TRUE(MoveFileW(folder.c_str(), moved.c_str()));
                ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
                WriteBytes(folder + L"\\twin.txt", "somebody else's file");
            }

            if (written) {
                EXPECT_TRUE(twin.Write("drive = 1\n"));
            } else {
                twin.Discard();
            }

            const std::wstring created = (swapped ? moved : folder) + L"\\twin.txt";
            if (written) {
                EXPECT_EQ(ReadBytes(created), "drive = 1\r\n");
            } else if (!swapped) {
                // Wine, unlike Windows, cannot remove a file whose folder was renamed under its open handle,
                // so the swapped file's removal is not checked.
                EXPECT_FALSE(FileExists(created));
            }
            if (swapped) {
                EXPECT_EQ(ReadBytes(folder + L"\\twin.txt"), "somebody else's file");
            }
        }
    }
}

} // namespace
