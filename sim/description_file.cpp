#include "sim/description_file.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>

std::string NarrowPath(const std::wstring& path) {
    const int size = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return {};
    }
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, narrow.data(), size, nullptr, nullptr);
    narrow.pop_back();
    return narrow;
}

MachineDescription DescriptionFile::Read(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(file), {});
    if (!file.is_open() || file.bad()) {
        throw DescriptionFileError("cannot read the device description '" + NarrowPath(path) + "'");
    }
    try {
        return MachineDescription::Parse(text);
    } catch (const DescriptionError& error) {
        throw DescriptionFileError("device description '" + NarrowPath(path) + "', line " +
                                   std::to_string(error.Line()) + ": " + error.what());
    }
}
