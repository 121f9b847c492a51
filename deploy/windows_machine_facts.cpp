// The machine facts of Windows, for quillon-deploy.exe.

#include "deploy/machine_facts.h"

#include "win32/unique_module.h"

#include <windows.h>

namespace {

// Windows counts its starts here (since Windows 8); the count survives a shutdown with fast startup, which
// is no start of the kernel and installs no firmware either.
constexpr wchar_t BOOT_COUNTER_KEY[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management\\PrefetchParameters";
constexpr wchar_t BOOT_COUNTER_VALUE[] = L"BootId";

} // namespace

namespace MachineFacts {

std::optional<std::string> BootIdentity() {
    // advapi32 is not among the DLLs that the shipped programs may import.
    const Win32::UniqueModule library(Win32::LoadSystemLibrary(L"advapi32.dll"));
    const auto getValue =
        library ? Win32::GetProc<decltype(&RegGetValueW)>(library.get(), "RegGetValueW") : nullptr;
    DWORD count = 0;
    DWORD size = sizeof(count);
    if (getValue == nullptr || getValue(HKEY_LOCAL_MACHINE, BOOT_COUNTER_KEY, BOOT_COUNTER_VALUE,
                                        RRF_RT_REG_DWORD, nullptr, &count, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::to_string(count);
}

Power PowerStatus() {
    SYSTEM_POWER_STATUS status{};
    if (!GetSystemPowerStatus(&status)) {
        return {false, std::nullopt};
    }
    // A machine without a battery runs on mains power whatever it says of its line; one that says nothing
    // of either counts as on battery, so that an unknown charge holds the update back.
    const bool noBattery =
        status.BatteryFlag != BATTERY_FLAG_UNKNOWN && (status.BatteryFlag & BATTERY_FLAG_NO_BATTERY) != 0;
    Power power;
    power.onAcPower =
        noBattery || (status.ACLineStatus != AC_LINE_OFFLINE && status.ACLineStatus != AC_LINE_UNKNOWN);
    if (status.BatteryLifePercent != BATTERY_PERCENTAGE_UNKNOWN) {
        power.batteryPercent = status.BatteryLifePercent;
    }
    return power;
}

const wchar_t* StateFolder() {
    return L"Deployments";
}

const wchar_t* ToolProgram() {
    return L"quillon.exe";
}

} // namespace MachineFacts
