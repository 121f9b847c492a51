#pragma once

#include "win32/unique_module.h"

#include <windows.h>

namespace Win32 {

// Allows only the system directory when a DLL is loaded by name. Windows releases before 8 without the
// loader update lack the call; they are refused by the version check anyway.
inline void RestrictDllSearch() {
    const auto restrict =
        GetProc<BOOL(WINAPI*)(DWORD)>(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (restrict != nullptr) {
        restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
}

} // namespace Win32
