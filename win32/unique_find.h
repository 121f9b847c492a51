#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace Win32 {

// Ends a search of FindFirstFileW.
struct FindCloser {
    void operator()(HANDLE search) const { FindClose(search); }
};
// Owns a search of a folder's entries, which FindClose ends on every path.
using UniqueFind = std::unique_ptr<void, FindCloser>;

// The search for the pattern with its first entry in `found`; none when nothing matches or the folder
// cannot be read.
inline UniqueFind FindFirst(const std::wstring& pattern, WIN32_FIND_DATAW& found) {
    UniqueFind search(FindFirstFileW(pattern.c_str(), &found));
    // No search to end: FindFirstFileW's failure is INVALID_HANDLE_VALUE, which no deleter may see.
    if (search.get() == INVALID_HANDLE_VALUE) {
        static_cast<void>(search.release());
    }
    return search;
}

} // namespace Win32
