#include "sim/machine_state.h"

#include "sim/description_file.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>

MachineState MachineState::Load(const std::wstring& path, const MachineDescription& description) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    if (!file.is_open()) {
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
            GetLastError() == ERROR_FILE_NOT_FOUND) {
            return Initial(description);
        }
        throw MachineStateError("cannot read the machine state '" + NarrowPath(path) + "'");
    }
    const std::string text(std::istreambuf_iterator<char>(file), {});
    if (file.bad()) {
        throw MachineStateError("cannot read the machine state '" + NarrowPath(path) + "'");
    }
    try {
        return Parse(text, description);
    } catch (const DescriptionError& error) {
        throw MachineStateError("machine state '" + NarrowPath(path) + "', line " +
                                std::to_string(error.Line()) + ": " + error.what());
    }
}

void MachineState::Save(const std::wstring& path) const {
    const std::wstring written = path + L".new";
    {
        std::ofstream file(std::filesystem::path(written), std::ios::binary | std::ios::trunc);
        file << Text();
        file.flush();
        if (!file) {
            throw MachineStateError("cannot write the machine state '" + NarrowPath(written) + "'");
        }
    }
    if (!MoveFileExW(written.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        throw MachineStateError("cannot replace the machine state '" + NarrowPath(path) + "'");
    }
}
