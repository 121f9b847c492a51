// quillon-sim-restart: the restart of a simulated machine. Between runs of quillon-sim.exe (or of the real
// programs through the stand-in driver) it does what the restart after an update does to a real machine:
// every pending image takes effect, or fails to install and leaves the old firmware running.
//
// The machine is the one quillon-sim.exe reads: its description named by QUILLON_SIM_DEVICE (the built-in
// device without it), its state named by QUILLON_SIM_STATE, which is required. Exit code 0 after the
// restart, 2 when the description or the state cannot be used (the state file then stays as it was).

#include "cli/hex.h"
#include "sim/description_file.h"
#include "sim/machine_state.h"
#include "win32/dll_search.h"
#include "win32/environment.h"

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

namespace {

// A line that standard output or error cannot take is lost; the exit code still tells the outcome.
void Write(std::FILE* stream, const std::string& line) {
    static_cast<void>(std::fputs((line + "\n").c_str(), stream));
    static_cast<void>(std::fflush(stream));
}

std::string VersionText(const std::array<std::uint8_t, 8>& bytes) {
    return Hex::Text(bytes.data(), bytes.size());
}

int Run() {
    const auto statePath = Win32::EnvironmentVariable(L"QUILLON_SIM_STATE");
    if (!statePath) {
        Write(stderr, "quillon-sim-restart: QUILLON_SIM_STATE names no machine state");
        return 2;
    }
    try {
        const auto descriptionPath = Win32::EnvironmentVariable(L"QUILLON_SIM_DEVICE");
        const MachineDescription description = descriptionPath ? DescriptionFile::Read(*descriptionPath)
                                                               : MachineDescription(DeviceDescription{});
        MachineState state = MachineState::Load(*statePath, description);
        const auto restarted = state.Restart(description);
        state.Save(*statePath);
        Write(stdout, "quillon-sim-restart: the machine restarted, boot " + std::to_string(state.boot));
        for (const MachineState::Restarted& drive : restarted) {
            const MachineState::Device& device = state.drives.at(drive.drive);
            Write(stdout, "drive " + std::to_string(drive.drive) + ": " +
                              (drive.installed
                                   ? "installed, runs " + VersionText(device.firmwareVersion) + " in slot " +
                                         std::to_string(device.activeSlot)
                                   : "the install failed (FFU_STATUS 0x" + Hex::Text(&device.ffuStatus, 1) +
                                         "), still runs " + VersionText(device.firmwareVersion)));
        }
        return 0;
    } catch (const DescriptionFileError& error) {
        Write(stderr, std::string("quillon-sim-restart: ") + error.what());
    } catch (const MachineStateError& error) {
        Write(stderr, std::string("quillon-sim-restart: ") + error.what());
    }
    return 2;
}

} // namespace

int main(int, char**) {
    Win32::RestrictDllSearch();
    return Run();
}
