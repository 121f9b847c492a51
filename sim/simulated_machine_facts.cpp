// The machine facts of the simulated machine, for quillon-deploy-sim.exe: its boot is the count that
// quillon-sim-restart.exe keeps in the machine's state, its power is what QUILLON_SIM_POWER says.

#include "deploy/machine_facts.h"

#include "sim/simulated_machine.h"
#include "win32/environment.h"

#include <cwchar>

namespace MachineFacts {

std::optional<std::string> BootIdentity() {
    try {
        return std::to_string(SimulatedMachine::Current().Boot());
    } catch (const MachineStateError&) {
        return std::nullopt;
    }
}

// "ac" or nothing: on mains power; "battery <percent>": on battery with that charge; anything else, "battery"
// among it: on battery with an unknown charge.
Power PowerStatus() {
    const auto power = Win32::EnvironmentVariable(L"QUILLON_SIM_POWER");
    if (!power || *power == L"ac") {
        return {};
    }
    unsigned percent = 0;
    wchar_t end = 0;
    if (std::swscanf(power->c_str(), L"battery %u%lc", &percent, &end) == 1 && percent <= 100) {
        return {false, percent};
    }
    return {false, std::nullopt};
}

const wchar_t* StateFolder() {
    return L"Rehearsals";
}

const wchar_t* ToolProgram() {
    return L"quillon-sim.exe";
}

} // namespace MachineFacts
