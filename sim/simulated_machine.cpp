#include "sim/simulated_machine.h"

#include <stdexcept>

namespace {

std::unique_ptr<SimulatedMachine> current;

} // namespace

SimulatedMachine::SimulatedMachine(MachineDescription description, RequestTrace trace, std::wstring statePath)
    : description(std::move(description)), trace(std::move(trace)), statePath(std::move(statePath)),
      state(this->statePath.empty() ? MachineState::Initial(this->description)
                                    : MachineState::Load(this->statePath, this->description)) {
    if (this->description.drives.empty()) {
        throw std::invalid_argument("a simulated machine has at least one drive");
    }
    BuildDevices();
}

void SimulatedMachine::BuildDevices() {
    devices.clear();
    for (const DeviceDescription& device : description.drives) {
        SimulatedDevice::StateChanged changed;
        if (!statePath.empty()) {
            changed = [this, drive = device.drive](const MachineState::Device& changedState) {
                state.drives[drive] = changedState;
                Save();
            };
        }
        devices.push_back(
            std::make_unique<SimulatedDevice>(device, trace, state.drives[device.drive], std::move(changed)));
    }
}

// Other programs change the machine between one program's runs of requests: the tool that the deployment
// program starts, the restart. While no drive is open, the state file is what the machine is.
void SimulatedMachine::Refresh() {
    if (statePath.empty() || !handles.empty()) {
        return;
    }
    state = MachineState::Load(statePath, description);
    BuildDevices();
}

std::uint32_t SimulatedMachine::Boot() {
    Refresh();
    return state.boot;
}

SimulatedMachine& SimulatedMachine::Current() {
    if (!current) {
        current = std::make_unique<SimulatedMachine>(DeviceDescription{}, RequestTrace::InMemory());
    }
    return *current;
}

void SimulatedMachine::Install(MachineDescription description, RequestTrace trace, std::wstring statePath) {
    current =
        std::make_unique<SimulatedMachine>(std::move(description), std::move(trace), std::move(statePath));
}

void SimulatedMachine::Save() {
    try {
        state.Save(statePath);
    } catch (const MachineStateError& error) {
        // The run goes on as the device answered; the trace shows that the next run will not know of it.
        trace.Record(std::string("state not saved: ") + error.what());
    }
}

// A path or a handle that names no drive of the machine goes to its first device, which refuses it as any
// device refuses what is not its own. A machine has at least one drive.
SimulatedDevice& SimulatedMachine::DeviceOf(HANDLE drive) {
    const auto handle = handles.find(drive);
    return handle == handles.end() ? *devices.front() : *handle->second;
}

HANDLE SimulatedMachine::Open(const wchar_t* drivePath) {
    try {
        Refresh();
    } catch (const MachineStateError& error) {
        // The drive is not there for a machine whose state cannot be read; the trace says why.
        trace.Record(std::string("state not read: ") + error.what());
        SetLastError(ERROR_BAD_CONFIGURATION);
        return INVALID_HANDLE_VALUE;
    }
    SimulatedDevice* target = devices.front().get();
    for (const auto& device : devices) {
        if (drivePath == L"\\\\.\\PhysicalDrive" + std::to_wstring(device->Drive())) {
            target = device.get();
        }
    }
    const HANDLE drive = target->Open(drivePath);
    if (drive != INVALID_HANDLE_VALUE) {
        handles[drive] = target;
    }
    return drive;
}

void SimulatedMachine::Close(HANDLE drive) {
    DeviceOf(drive).Close(drive);
    handles.erase(drive);
}

BOOL SimulatedMachine::ReadExtCsd(HANDLE drive, void* extCsd, DWORD extCsdLength, DWORD* returned) {
    return DeviceOf(drive).ReadExtCsd(drive, extCsd, extCsdLength, returned);
}

BOOL SimulatedMachine::GetFirmwareInfo(HANDLE drive, const void* query, DWORD queryLength, void* info,
                                       DWORD infoLength, DWORD* returned) {
    return DeviceOf(drive).GetFirmwareInfo(drive, query, queryLength, info, infoLength, returned);
}

BOOL SimulatedMachine::DownloadFirmware(HANDLE drive, const void* request, DWORD requestLength, void* reply,
                                        DWORD replyLength, DWORD* returned) {
    return DeviceOf(drive).DownloadFirmware(drive, request, requestLength, reply, replyLength, returned);
}

BOOL SimulatedMachine::ActivateFirmware(HANDLE drive, const void* request, DWORD requestLength, void* reply,
                                        DWORD replyLength, DWORD* returned) {
    return DeviceOf(drive).ActivateFirmware(drive, request, requestLength, reply, replyLength, returned);
}

BOOL SimulatedMachine::QueryProperty(HANDLE drive, const void* query, DWORD queryLength, void* descriptor,
                                     DWORD descriptorLength, DWORD* returned) {
    return DeviceOf(drive).QueryProperty(drive, query, queryLength, descriptor, descriptorLength, returned);
}

BOOL SimulatedMachine::Refuse(const std::string& request) {
    return devices.front()->Refuse(request);
}

const SimulatedDevice* SimulatedMachine::Device(unsigned drive) const {
    for (const auto& device : devices) {
        if (device->Drive() == drive) {
            return device.get();
        }
    }
    return nullptr;
}

std::size_t SimulatedMachine::OpenDriveCount() const {
    std::size_t open = 0;
    for (const auto& device : devices) {
        open += device->OpenDriveCount();
    }
    return open;
}
