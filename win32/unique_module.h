#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

namespace Win32 {

struct FreeLibraryDeleter {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};

using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, FreeLibraryDeleter>;

// Loads a DLL from the system directory only. The tool runs elevated, often from a download folder: a DLL
// of the same name planted beside the program must never be the one that runs. Neither version.dll nor
// shell32.dll is imported for that reason; shell32 would bring in further DLLs by name at load time,
// before the entry point can restrict where they come from.
inline UniqueModule LoadSystemLibrary(const wchar_t* name) {
    return UniqueModule(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

// GetProcAddress hands out a generic function pointer; the detour through void(*)() is the cast that
// the compiler accepts without a function-type warning.
template <typename Function> Function GetProc(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

} // namespace Win32
