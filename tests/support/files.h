#pragma once

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

// The Windows path of a program that the build put into its output folder (quillon.exe, quillon-sim.exe).
std::wstring BuiltProgram(const std::wstring& name);

// What FormatMessageA gives for a code, as the tool's error texts carry it.
std::string SystemMessage(unsigned long code);

// Bytes that differ from one position to the next, so that a misplaced or repeated segment shows.
std::string PatternBytes(std::size_t length, std::uint32_t seed = 1);

} // namespace TestSupport
