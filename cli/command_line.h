#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Reads /T:<digit> and /D:<path> ("-" may stand for "/"; the letters are case-sensitive) from the
// process's command line. The first well-formed occurrence of each switch wins; everything else is
// ignored. The drive path becomes \\.\PhysicalDrive followed by the one digit character, the package
// path is the switch's text unchanged. True only when both were given; a command line that the system
// cannot split gives false.
bool ParseCommandLine(std::wstring& drivePath, std::wstring& packagePath);

// The same scan over a given command line, split by the system's rules for blanks, quotes and
// backslashes.
bool ParseCommandLine(const wchar_t* commandLine, std::wstring& drivePath, std::wstring& packagePath);

// The pieces of that scan, for every program that takes its switches the same way.
namespace CommandLine {

// The arguments as the system splits the command line, the program's own path first; nullopt when the
// system cannot split it.
std::optional<std::vector<std::wstring>> Split(const wchar_t* commandLine);

// The text after "/X:" or "-X:" when the argument is the switch of this letter, possibly empty.
std::optional<std::wstring_view> SwitchValue(std::wstring_view argument, wchar_t letter);

// The drive path that a /T: value names: \\.\PhysicalDrive and the value's first character, when that
// character passes the C runtime's digit test.
std::optional<std::wstring> DrivePath(std::wstring_view value);

// The scan of ParseCommandLine over arguments that are split already.
bool Parse(const std::vector<std::wstring>& arguments, std::wstring& drivePath, std::wstring& packagePath);

} // namespace CommandLine
