#pragma once

#include "win32/unique_handle.h"

#include <windows.h>

#include <string>

// A file that the probe creates new: a twin or a manifest draft. The probe runs elevated: an existing file,
// a link or anything else of that name is never followed, emptied or overwritten.
class NewFile {
public:
    // Creates the file; IsOpen() tells whether it was created, Error() why not.
    explicit NewFile(const std::wstring& path);
    bool IsOpen() const { return file.IsValid(); }
    DWORD Error() const { return error; }
    // Writes the whole text with CR LF line ends; on a failed write the file is removed again.
    bool Write(const std::string& text);
    // Removes the file it created, still empty, when the run ends without its content, whatever its name has
    // come to stand for since.
    void Discard();

private:
    Win32::UniqueHandle file;
    DWORD error = ERROR_SUCCESS;
};
