#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class PackageLoad {
    Loaded,
    // The path names nothing, or its existence cannot be established.
    Missing,
    // The path cannot be opened as a file, another process holds the file open for writing, or the file
    // cannot be read whole into memory.
    Unreadable,
};

// Reads the whole package file into image, byte for byte. The image is filled only when every byte of the
// file's length arrived; a package of more than 2^31 - 1 bytes, more than one buffer of a 32-bit process
// can hold, is refused as unreadable.
PackageLoad LoadPackage(const std::wstring& packagePath, std::vector<std::uint8_t>& image);
