#include "diag/win32_error.h"

#include "win32/local_ptr.h"

#include <sstream>

namespace Windows {

namespace {

std::string SystemMessage(DWORD code) {
    char* buffer = nullptr;
    // The system's text is taken whole, its closing line break included; inserts are left as they stand
    // because no arguments exist for them.
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    const Win32::LocalPtr<char> owned(buffer);
    if (length != 0 && owned) {
        return std::string(owned.get());
    }
    std::ostringstream text;
    text << "Unknown Windows error No. " << code << ".";
    return text.str();
}

std::string Describe(DWORD code, const std::string& context) {
    return context.empty() ? SystemMessage(code) : context + ": " + SystemMessage(code);
}

} // namespace

std::string SystemText(DWORD code) {
    std::string text = SystemMessage(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

Win32Error::Win32Error(DWORD code, const std::string& context)
    : std::runtime_error(Describe(code, context)), code(code) {}

} // namespace Windows
