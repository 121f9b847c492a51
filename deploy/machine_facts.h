#pragma once

#include <optional>
#include <string>

// What the deployment program asks of the machine besides its drives. quillon-deploy.exe links the answers
// of Windows; quillon-deploy-sim.exe links those of the simulated machine, whose restart it rehearses.
namespace MachineFacts {

struct Power {
    bool onAcPower = true;
    // The battery's charge; none when it is not known.
    std::optional<unsigned> batteryPercent;
};

// What tells this start of the machine from the next; none when it cannot be read.
std::optional<std::string> BootIdentity();
Power PowerStatus();
// The folder under ProgramData\Quillon that keeps the packages' state: a rehearsal never uses up a real
// deployment's attempts, nor passes for one.
const wchar_t* StateFolder();
// The tool that the deployment program runs, from its own folder: quillon.exe, or quillon-sim.exe.
const wchar_t* ToolProgram();

} // namespace MachineFacts
