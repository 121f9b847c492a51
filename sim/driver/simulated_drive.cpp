// The simulated machine as the stand-in storage driver serves it: the same machine model as
// quillon-sim.exe, reached through IRPs instead of calls in process.
//
// A session begins when the driver starts or is told to begin one: it creates the trace afresh and gives
// the drives that the description's machine has. One run is the time from an open while no handle of the
// driver is open to the close of its last handle: the run's first open reads the description and the
// machine state and appends to the trace. The driver also checks what only a driver sees of the tool's
// requests: the flags of the drive open and the control code.

#include "sim/driver/simulated_drive.h"

#include "sim/description_file.h"
#include "sim/driver/last_error_status.h"
#include "sim/driver/served_description.h"
#include "sim/simulated_machine.h"

#include <windows.h>
#include <winioctl.h>

#include <array>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace {

constexpr long STATUS_SUCCESS_CODE = 0;

// Every control of a drive without a usable description fails with ERROR_BAD_CONFIGURATION.
constexpr DWORD NOT_CONFIGURED = ERROR_BAD_CONFIGURATION;

// The drive open of the tool: not overlapped, so every control on the handle is synchronous, written
// through and unbuffered, shared for reading and writing. Wine shows the open flags to the driver as these
// create options; the access that the handle was opened with reaches the driver nowhere.
constexpr unsigned long FILE_WRITE_THROUGH_OPTION = 0x00000002;
constexpr unsigned long FILE_NO_INTERMEDIATE_BUFFERING_OPTION = 0x00000008;
constexpr unsigned long FILE_SYNCHRONOUS_IO_NONALERT_OPTION = 0x00000020;
constexpr unsigned long DRIVE_OPEN_OPTIONS =
    FILE_WRITE_THROUGH_OPTION | FILE_NO_INTERMEDIATE_BUFFERING_OPTION | FILE_SYNCHRONOUS_IO_NONALERT_OPTION;
constexpr unsigned DRIVE_OPEN_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;

constexpr DWORD IOCTL_EMMC_READ_EXT_CSD = CTL_CODE(FILE_DEVICE_DISK, 0x7A5, METHOD_BUFFERED, FILE_ANY_ACCESS);

// One handle opened on a drive of the driver: the device's handle, or none when the open was refused.
struct OpenHandle {
    HANDLE drive = INVALID_HANDLE_VALUE;
};

std::mutex lock;
std::unique_ptr<SimulatedMachine> device;
std::size_t openHandles = 0;

std::string Hex8(unsigned long value) {
    std::array<char, 11> text{};
    // "0x" and eight hexadecimal digits always fit.
    static_cast<void>(std::snprintf(text.data(), text.size(), "0x%08lx", value));
    return text.data();
}

long StatusOf(DWORD error) {
    // Every code the device answers with is one that a status gives: the description was judged for it.
    return static_cast<long>(StatusForLastError(error).value_or(0xC0070000 | NOT_CONFIGURED));
}

constexpr unsigned EVERY_DRIVE_BUT_9 = 0x1FF;

// The machine of a new run, or none, with the reason in the trace, when the description cannot be served.
std::unique_ptr<SimulatedMachine> StartRun(const std::wstring& descriptionPath, const std::wstring& tracePath,
                                           const std::wstring& statePath) {
    RequestTrace trace;
    if (!tracePath.empty()) {
        try {
            trace = RequestTrace(tracePath, RequestTrace::Mode::Append);
        } catch (const std::runtime_error&) {
            return nullptr;
        }
    }
    try {
        MachineDescription description = DescriptionFile::Read(descriptionPath);
        const std::string refusal = WhyNotServed(description);
        if (refusal.empty()) {
            return std::make_unique<SimulatedMachine>(std::move(description), std::move(trace), statePath);
        }
        trace.Record("refused: device description '" + NarrowPath(descriptionPath) + "': " + refusal);
    } catch (const DescriptionFileError& error) {
        trace.Record("refused: " + std::string(error.what()));
    } catch (const MachineStateError& error) {
        trace.Record("refused: " + std::string(error.what()));
    }
    return nullptr;
}

} // namespace

extern "C" void QuillonSessionBegin(const wchar_t* description_path, const wchar_t* trace_path,
                                    unsigned* drives) {
    const std::lock_guard<std::mutex> guard(lock);
    *drives = EVERY_DRIVE_BUT_9;
    if (*trace_path != L'\0') {
        try {
            RequestTrace fresh(trace_path);
        } catch (const std::runtime_error&) {
            // The run that finds no trace to append to records nothing, as without a trace.
        }
    }
    if (*description_path == L'\0') {
        return;
    }
    try {
        const MachineDescription description = DescriptionFile::Read(description_path);
        if (WhyNotServed(description).empty()) {
            *drives = 0;
            for (const DeviceDescription& drive : description.drives) {
                *drives |= 1U << drive.drive;
            }
        }
    } catch (const DescriptionFileError&) {
        // The run's first open records why the description cannot be served.
    }
}

extern "C" long QuillonDriveOpen(unsigned drive, unsigned long create_options, unsigned share_access,
                                 const wchar_t* description_path, const wchar_t* trace_path,
                                 const wchar_t* state_path, void** drive_context) {
    const std::lock_guard<std::mutex> guard(lock);
    if (openHandles == 0) {
        device = *description_path == L'\0' ? nullptr : StartRun(description_path, trace_path, state_path);
    }
    auto handle = std::make_unique<OpenHandle>();
    if (device) {
        const std::wstring path = L"\\\\.\\PhysicalDrive" + std::to_wstring(drive);
        if ((create_options & DRIVE_OPEN_OPTIONS) != DRIVE_OPEN_OPTIONS ||
            share_access != DRIVE_OPEN_SHARING) {
            device->Refuse("open " + NarrowPath(path) + " options=" + Hex8(create_options) +
                           " share=" + Hex8(share_access));
        } else {
            handle->drive = device->Open(path.c_str());
        }
    }
    ++openHandles;
    *drive_context = handle.release();
    // Wine completes the open whatever the status says, so a refused open fails at the handle's first
    // control instead.
    return STATUS_SUCCESS_CODE;
}

extern "C" void QuillonDriveClose(void* drive_context) {
    const std::lock_guard<std::mutex> guard(lock);
    const std::unique_ptr<OpenHandle> handle(static_cast<OpenHandle*>(drive_context));
    if (device && handle->drive != INVALID_HANDLE_VALUE) {
        device->Close(handle->drive);
    }
    if (--openHandles == 0) {
        // The run is over: the trace file is closed and can be read, moved or deleted.
        device.reset();
    }
}

extern "C" long QuillonDriveControl(void* drive_context, unsigned long code, void* buffer,
                                    unsigned long input_length, unsigned long output_length,
                                    size_t* information) {
    const std::lock_guard<std::mutex> guard(lock);
    *information = 0;
    if (!device) {
        return StatusOf(NOT_CONFIGURED);
    }
    const HANDLE drive = static_cast<OpenHandle*>(drive_context)->drive;
    void* input = input_length == 0 ? nullptr : buffer;
    void* output = output_length == 0 ? nullptr : buffer;
    DWORD returned = 0;
    BOOL ok = FALSE;
    switch (code) {
    case IOCTL_EMMC_READ_EXT_CSD:
        // The register request carries no input; a caller that sends some breaks the protocol.
        ok = input_length == 0 ? device->ReadExtCsd(drive, output, output_length, &returned)
                               : device->Refuse("ext_csd in=" + std::to_string(input_length) +
                                                " out=" + std::to_string(output_length));
        break;
    case IOCTL_STORAGE_FIRMWARE_GET_INFO:
        ok = device->GetFirmwareInfo(drive, input, input_length, output, output_length, &returned);
        break;
    case IOCTL_STORAGE_FIRMWARE_DOWNLOAD:
        ok = device->DownloadFirmware(drive, input, input_length, output, output_length, &returned);
        break;
    case IOCTL_STORAGE_FIRMWARE_ACTIVATE:
        ok = device->ActivateFirmware(drive, input, input_length, output, output_length, &returned);
        break;
    case IOCTL_STORAGE_QUERY_PROPERTY:
        ok = device->QueryProperty(drive, input, input_length, output, output_length, &returned);
        break;
    default:
        ok = device->Refuse("control code=" + Hex8(code) + " in=" + std::to_string(input_length) +
                            " out=" + std::to_string(output_length));
        break;
    }
    if (!ok) {
        return StatusOf(GetLastError());
    }
    *information = std::min<size_t>(returned, output_length);
    return STATUS_SUCCESS_CODE;
}
