#pragma once

#include "sim/machine_description.h"
#include "sim/machine_state.h"
#include "sim/request_trace.h"
#include "sim/simulated_device.h"

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

// A machine of simulated drives, each with its device, which record their requests into one trace. With a
// state file the machine remembers what happened to its devices from one run to the next: the file is read
// when the machine is made and written after every request that changed a device.
class SimulatedMachine {
public:
    // Throws MachineStateError when the state file cannot be read or does not fit the description, and
    // std::invalid_argument for a description without drives.
    SimulatedMachine(MachineDescription description, RequestTrace trace, std::wstring statePath = {});
    // The devices tell the machine of their changes through its address.
    SimulatedMachine(const SimulatedMachine&) = delete;
    SimulatedMachine& operator=(const SimulatedMachine&) = delete;

    // The machine that the storage driver boundary serves in this process: the built-in device until
    // another is installed.
    static SimulatedMachine& Current();
    static void Install(MachineDescription description, RequestTrace trace = RequestTrace::InMemory(),
                        std::wstring statePath = {});

    // Each request goes to the device of the drive, as SimulatedDevice answers it.
    HANDLE Open(const wchar_t* drivePath);
    void Close(HANDLE drive);
    BOOL ReadExtCsd(HANDLE drive, void* extCsd, DWORD extCsdLength, DWORD* returned = nullptr);
    BOOL GetFirmwareInfo(HANDLE drive, const void* query, DWORD queryLength, void* info, DWORD infoLength,
                         DWORD* returned = nullptr);
    BOOL DownloadFirmware(HANDLE drive, const void* request, DWORD requestLength, void* reply,
                          DWORD replyLength, DWORD* returned = nullptr);
    BOOL ActivateFirmware(HANDLE drive, const void* request, DWORD requestLength, void* reply,
                          DWORD replyLength, DWORD* returned = nullptr);
    BOOL QueryProperty(HANDLE drive, const void* query, DWORD queryLength, void* descriptor,
                       DWORD descriptorLength, DWORD* returned = nullptr);
    BOOL Refuse(const std::string& request);

    // The machine's start count, as its state says now.
    std::uint32_t Boot();

    const RequestTrace& Trace() const { return trace; }
    const MachineState& State() const { return state; }
    // The device of the drive, or null.
    const SimulatedDevice* Device(unsigned drive) const;
    // Drives opened and not closed yet, on every device.
    std::size_t OpenDriveCount() const;

private:
    void BuildDevices();
    void Refresh();
    SimulatedDevice& DeviceOf(HANDLE drive);
    void Save();

    MachineDescription description;
    RequestTrace trace;
    std::wstring statePath;
    MachineState state;
    std::vector<std::unique_ptr<SimulatedDevice>> devices;
    std::map<HANDLE, SimulatedDevice*> handles;
};
