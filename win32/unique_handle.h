#pragma once

#include <windows.h>

#include <utility>

namespace Win32 {

// Owns a kernel object handle and closes it with CloseHandle. Both failure values of the Windows API
// (null and INVALID_HANDLE_VALUE) count as "no handle".
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle = std::exchange(other.handle, nullptr);
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { Reset(); }

    HANDLE Get() const { return handle; }
    bool IsValid() const { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    void Reset() {
        if (IsValid()) {
            CloseHandle(handle);
        }
        handle = nullptr;
    }

private:
    HANDLE handle = nullptr;
};

} // namespace Win32
