#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

namespace Windows {

// A failed Windows call. The text names the operation and gives the system's reason for the code.
class Win32Error : public std::runtime_error {
public:
    Win32Error(DWORD code, const std::string& context);
    DWORD Code() const { return code; }

private:
    DWORD code;
};

// The system's text for the code without its line end, or the tool's own text for a code the system has no
// text for: what a failed call's message gives after its context.
std::string SystemText(DWORD code);

} // namespace Windows
