#pragma once

#include <string>

// Reads /T:<digit> and /D:<path> ("-" may stand for "/"; the letters are case-sensitive) from the
// process's command line. The first well-formed occurrence of each switch wins; everything else is
// ignored. The drive path becomes \\.\PhysicalDrive followed by the one digit character, the package
// path is the switch's text unchanged. True only when both were given; a command line that the system
// cannot split gives false.
bool ParseCommandLine(std::wstring& drivePath, std::wstring& packagePath);

// The same scan over a given command line, split by the system's rules for blanks, quotes and
// backslashes.
bool ParseCommandLine(const wchar_t* commandLine, std::wstring& drivePath, std::wstring& packagePath);
