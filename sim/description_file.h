#pragma once

#include "sim/machine_description.h"

#include <stdexcept>
#include <string>

// A machine description read from its file, as quillon-sim.exe and the stand-in storage driver both take it.
class DescriptionFile {
public:
    // Throws DescriptionFileError with a message that names the file and, for a mistake in it, the line.
    static MachineDescription Read(const std::wstring& path);
};

class DescriptionFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The path as 8-bit text, the way the messages name a file.
std::string NarrowPath(const std::wstring& path);
