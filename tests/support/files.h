#pragma once

#include "win32/unique_handle.h"

#include <cstdint>
#include <string>
#include <vector>

namespace TestSupport {

// A fresh, empty directory under the temporary folder, removed with everything in it at the end.
class TempDirectory {
public:
    TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    ~TempDirectory();

    const std::wstring& Path() const { return path; }
    // The path of a name inside the directory.
    std::wstring operator/(const std::wstring& name) const { return path + L"\\" + name; }

private:
    std::wstring path;
};

// The whole content of a file; an empty string for a file that does not exist.
std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

// An entry of a folder, as a search of its names finds it.
struct FolderEntry {
    std::wstring name;
    bool directory = false;
};
// The entries that the pattern (a folder's path with `\*` or `\*.json`) matches, in the order of their names,
// without "." and ".."; none when the folder cannot be read.
std::vector<FolderEntry> FolderEntries(const std::wstring& pattern);
// A copy still in progress: the file has the full length of the bytes, only their first half is written,
// and the writer's handle, returned, is still open (sharing the file with readers, as a copy does).
Win32::UniqueHandle CopyInProgress(const std::wstring& path, const std::string& bytes);

// Makes `link` a symbolic link to `target`, a folder or a file, which need not exist. Wine answers
// CreateSymbolicLinkW with success and makes nothing; there a Unix symbolic link is made, which Wine shows
// as a reparse point when it names a folder and as the file it names otherwise. False when no link was made.
bool MakeSymbolicLink(const std::wstring& link, const std::wstring& target, bool directory);
// Removes the link itself, which Wine does not for a Unix link (the temporary folders' clean-up neither).
void RemoveSymbolicLink(const std::wstring& link);

// Under Wine, which keeps a file's or folder's DACL as Unix mode bits and never lets others write through
// them: gives it the Unix mode 777, which Wine shows as full access for Everyone but taking ownership and
// changing permissions. False elsewhere (on Windows a DACL says so itself).
bool LetEveryoneWrite(const std::wstring& path);

// A named mutex that this process creates owned, with the security descriptor that `sddl` describes (its
// owner and DACL), as someone else may create a guard's name first; no handle when it cannot be made.
Win32::UniqueHandle MutexWithSecurity(const std::wstring& name, const std::wstring& sddl);

// The Windows path of a program that the build put into its output folder (quillon.exe, quillon-sim.exe).
std::wstring BuiltProgram(const std::wstring& name);

// The EXT_CSD register of a real device, from tests/data/real-extcsd, in the form of a description's
// `ext_csd` key.
std::string RealExtCsd(const std::wstring& name);

// What FormatMessageA gives for a code, as the tool's error texts carry it.
std::string SystemMessage(unsigned long code);
// The same text in UTF-8, through FormatMessageW, whatever the system's ANSI code page.
std::string SystemMessageUtf8(unsigned long code);

// Bytes that differ from one position to the next, so that a misplaced or repeated segment shows.
std::string PatternBytes(std::size_t length, std::uint32_t seed = 1);

} // namespace TestSupport
