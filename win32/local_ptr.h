#pragma once

#include <windows.h>

#include <memory>

namespace Win32 {

struct LocalFreeDeleter {
    void operator()(void* memory) const { LocalFree(memory); }
};

// Owns memory that a Windows function allocated with LocalAlloc on the caller's behalf
// (FormatMessage with FORMAT_MESSAGE_ALLOCATE_BUFFER, CommandLineToArgvW).
template <typename T> using LocalPtr = std::unique_ptr<T, LocalFreeDeleter>;

} // namespace Win32
