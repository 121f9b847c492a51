#pragma once

#include "win32/unique_handle.h"

#include <array>
#include <string>
#include <string_view>

// A character as the log file holds it: 8 bits, each character up to 255 as that byte, every other as "?".
inline char NarrowCharacter(wchar_t character) {
    return character > 0xFF ? '?' : static_cast<char>(character);
}
// Text as the log file holds it.
std::string NarrowText(std::wstring_view text);

// The log file as 8-bit text with CR LF line ends. It is opened without following links: the tool runs
// elevated in folders that other users may control, and a link named like the log must never lead it to
// empty or overwrite somebody else's file. Every piece that ends a line goes to the disk with the text
// before it, so a run that is killed or waits for a key leaves every finished line behind. The file is
// claimed for the run by a lock that ends with the process however it ends, so that a second run never
// empties the log of a run that still goes on.
class LogFile {
public:
    // A log file that takes no text.
    LogFile() = default;
    // Creates the file or empties it. A name that cannot be opened, that is a link, a reparse point, a
    // read-only file, a file with more than one hard link or the log of a run that goes on leaves the log
    // file without a destination, untouched.
    explicit LogFile(const std::wstring& path);
    LogFile(LogFile&&) = default;
    LogFile& operator=(LogFile&&) = default;
    // Writes what is left of an unfinished line.
    ~LogFile();

    bool IsOpen() const { return file.IsValid(); }
    // Whether the file was left alone because another run holds it as its log.
    bool IsHeldByAnotherRun() const { return heldByAnotherRun; }
    // Characters above 255 are written as "?". A failed write closes the file for the rest of the run.
    void Write(std::wstring_view text);

private:
    void Flush();

    Win32::UniqueHandle file;
    // Text is converted into this block, so that writing a message never allocates and never throws.
    std::array<char, 4096> pending;
    std::size_t pendingLength = 0;
    bool heldByAnotherRun = false;
};
