#pragma once

#include "device/class_driver.h"
#include "device/class_driver_cache.h"
#include "sim/crc32.h"
#include "sim/device_description.h"
#include "sim/machine_state.h"
#include "sim/request_trace.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

// An eMMC device on a physical drive of Windows. Every firmware request passes first through the checks
// of Windows' disk class driver (device/class_driver.h), which refuse what Windows refuses, with the last
// error that Windows gives; the trace marks such a refusal "(class driver)". What passes reaches the eMMC
// model behind it, which checks every request as strictly as a real driver would: a malformed request fails
// with ERROR_INVALID_PARAMETER and shows in the trace, so that a protocol fault of the tool cannot pass
// unseen. Failures of the description's *_error keys are injected only into well-formed requests.
class SimulatedDevice {
public:
    // What the downloads of one image have delivered so far. The checksum is kept only while the trace
    // records.
    struct Download {
        std::uint8_t slot = 0;
        std::uint64_t length = 0;
        std::uint32_t crc32 = 0;
        bool complete = false;
    };

    // What happened to the device is told to `changed` after every request that changed it.
    using StateChanged = std::function<void(const MachineState::Device&)>;

    SimulatedDevice(const DeviceDescription& description, RequestTrace trace);
    SimulatedDevice(DeviceDescription description, RequestTrace trace, MachineState::Device state,
                    StateChanged changed);

    HANDLE Open(const wchar_t* drivePath);
    void Close(HANDLE drive);
    // Each control answers as DeviceIoControl does; `returned`, when given, receives how many leading bytes
    // of the output the device filled.
    BOOL ReadExtCsd(HANDLE drive, void* extCsd, DWORD extCsdLength, DWORD* returned = nullptr);
    BOOL GetFirmwareInfo(HANDLE drive, const void* query, DWORD queryLength, void* info, DWORD infoLength,
                         DWORD* returned = nullptr);
    BOOL DownloadFirmware(HANDLE drive, const void* request, DWORD requestLength, void* reply,
                          DWORD replyLength, DWORD* returned = nullptr);
    BOOL ActivateFirmware(HANDLE drive, const void* request, DWORD requestLength, void* reply,
                          DWORD replyLength, DWORD* returned = nullptr);
    // IOCTL_STORAGE_QUERY_PROPERTY for the device or the adapter descriptor. An output shorter than the
    // descriptor receives what fits, its Size still naming the whole.
    BOOL QueryProperty(HANDLE drive, const void* query, DWORD queryLength, void* descriptor,
                       DWORD descriptorLength, DWORD* returned = nullptr);
    // A request that a driver in front of the device found malformed before the device could see it:
    // traced with the description given and failed with ERROR_INVALID_PARAMETER, like the device's own.
    BOOL Refuse(const std::string& request);

    const RequestTrace& Trace() const { return trace; }
    // The image being downloaded, or the last one completed.
    const Download& Received() const { return received; }
    const MachineState::Device& State() const { return state; }
    std::uint8_t Drive() const { return description.drive; }
    // Drives opened and not closed yet.
    std::size_t OpenDriveCount() const { return openDrives.size(); }

private:
    bool IsOpen(HANDLE drive) const;
    void Changed();
    bool IsWritableSlot(std::uint8_t number) const;
    BOOL Answer(const std::string& request, std::optional<DWORD> error, bool byClassDriver = false);
    BOOL ClassDriverRefuses(const std::string& request, const ClassDriver::Refusal& refusal);
    std::vector<std::uint8_t> DeviceDescriptor() const;
    std::vector<std::uint8_t> AdapterDescriptor() const;
    // The firmware information as the eMMC reports it to the drivers above it.
    std::vector<std::uint8_t> FirmwareInfoReply() const;
    // The eMMC's answer to the class driver's own information query.
    ClassDriverCache::Answer AnswerInfoQuery() const;
    // The class driver's cached information for a download or an activation, asked for when there is none.
    ClassDriver::CachedInfo CachedFirmwareInfo();

    DeviceDescription description;
    RequestTrace trace;
    std::set<HANDLE> openDrives;
    std::uintptr_t nextDrive = 0x5100;
    std::uint32_t downloadRequests = 0;
    // Where the next segment of the image must start.
    std::uint64_t nextOffset = 0;
    Download received;
    Crc32 imageCrc;
    // The image's checksum is kept while the trace records it or the machine may install the image.
    bool keepsImageCrc;
    MachineState::Device state;
    StateChanged changed;
    // What the class driver keeps of the device's firmware information.
    ClassDriverCache classDriverCache;
};
