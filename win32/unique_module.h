#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

namespace Win32 {

struct FreeLibraryDeleter {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};

using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, FreeLibraryDeleter>;

// GetProcAddress hands out a generic function pointer; the detour through void(*)() is the cast that
// the compiler accepts without a function-type warning.
template <typename Function> Function GetProc(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

} // namespace Win32
