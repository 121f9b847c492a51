#include "sim/simulated_device.h"

#include "device/ext_csd.h"
#include "device/storage_firmware.h"
#include "device/storage_property.h"
#include "sim/crc32.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

using namespace StorageFirmware;

namespace {

// Reads a request structure from what the caller passed; bytes beyond its length read as zero, so that a
// short request is traced with what it did carry.
template <typename T> T ReadRequest(const void* buffer, DWORD length) {
    T request{};
    if (buffer != nullptr) {
        std::memcpy(&request, buffer, std::min<std::size_t>(length, sizeof(T)));
    }
    return request;
}

std::string Hex8(DWORD value) {
    std::array<char, 9> text{};
    // Eight hexadecimal digits always fit.
    static_cast<void>(std::snprintf(text.data(), text.size(), "%08lx", static_cast<unsigned long>(value)));
    return text.data();
}

std::string Lengths(DWORD in, DWORD out) {
    return " in=" + std::to_string(in) + " out=" + std::to_string(out);
}

std::string Utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return {};
    }
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.pop_back();
    return utf8;
}

void Returned(DWORD* returned, DWORD length) {
    if (returned != nullptr) {
        *returned = length;
    }
}

bool AllZero(const std::uint8_t* bytes, std::size_t length) {
    return std::all_of(bytes, bytes + length, [](std::uint8_t b) { return b == 0; });
}

} // namespace

SimulatedDevice::SimulatedDevice(const DeviceDescription& description, RequestTrace trace)
    : SimulatedDevice(description, std::move(trace), MachineState::Device::Initial(description), {}) {}

SimulatedDevice::SimulatedDevice(DeviceDescription description, RequestTrace trace,
                                 MachineState::Device state, StateChanged changed)
    : description(std::move(description)), trace(std::move(trace)),
      nextDrive(0x5100 + 0x100000 * static_cast<std::uintptr_t>(this->description.drive)),
      keepsImageCrc(this->trace.IsRecording() || changed || !this->description.images.empty()),
      state(std::move(state)), changed(std::move(changed)),
      classDriverCache(this->description.maxTransferLength) {}

bool SimulatedDevice::IsOpen(HANDLE drive) const {
    return openDrives.count(drive) != 0;
}

bool SimulatedDevice::IsWritableSlot(std::uint8_t number) const {
    return std::any_of(description.slots.begin(), description.slots.end(),
                       [number](const DeviceDescription::Slot& slot) {
                           return slot.number == number && (slot.readOnly & SLOT_READ_ONLY) == 0;
                       });
}

BOOL SimulatedDevice::ClassDriverRefuses(const std::string& request, const ClassDriver::Refusal& refusal) {
    return Answer(request, refusal.error, true);
}

BOOL SimulatedDevice::Answer(const std::string& request, std::optional<DWORD> error, bool byClassDriver) {
    if (error) {
        if (trace.IsRecording()) {
            trace.Record(request + " error 0x" + Hex8(*error) + (byClassDriver ? " (class driver)" : ""));
        }
        SetLastError(*error);
        return FALSE;
    }
    if (trace.IsRecording()) {
        trace.Record(request + " ok");
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HANDLE SimulatedDevice::Open(const wchar_t* drivePath) {
    const std::string request = "open " + Utf8(drivePath);
    const std::wstring expected = L"\\\\.\\PhysicalDrive" + std::to_wstring(description.drive);
    if (expected != drivePath) {
        Answer(request, ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (description.openError) {
        Answer(request, description.openError);
        return INVALID_HANDLE_VALUE;
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the simulated handles are numbers, never dereferenced
    const HANDLE drive = reinterpret_cast<HANDLE>(nextDrive);
    nextDrive += 4;
    openDrives.insert(drive);
    Answer(request, std::nullopt);
    return drive;
}

void SimulatedDevice::Close(HANDLE drive) {
    openDrives.erase(drive);
}

BOOL SimulatedDevice::ReadExtCsd(HANDLE drive, void* extCsd, DWORD extCsdLength, DWORD* returned) {
    Returned(returned, 0);
    const std::string request = "ext_csd" + Lengths(0, extCsdLength);
    if (!IsOpen(drive)) {
        return Answer(request, ERROR_INVALID_HANDLE);
    }
    if (extCsd == nullptr || extCsdLength != ExtCsd::SIZE) {
        return Answer(request, ERROR_INVALID_PARAMETER);
    }
    if (description.extCsdError) {
        return Answer(request, description.extCsdError);
    }
    std::array<std::uint8_t, ExtCsd::SIZE> registerBytes =
        description.extCsd.value_or(std::array<std::uint8_t, ExtCsd::SIZE>{});
    registerBytes[ExtCsd::EXT_CSD_REV] = description.extCsdRev;
    registerBytes[ExtCsd::SUPPORTED_MODES] = description.supportedModes;
    registerBytes[ExtCsd::FW_CONFIG] = description.fwConfig;
    std::copy(state.firmwareVersion.begin(), state.firmwareVersion.end(),
              registerBytes.begin() + ExtCsd::FIRMWARE_VERSION);
    registerBytes[ExtCsd::FFU_STATUS] = state.ffuStatus;
    std::memcpy(registerBytes.data() + ExtCsd::NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED,
                &state.sectorsProgrammed, sizeof(state.sectorsProgrammed));
    std::memcpy(extCsd, registerBytes.data(), description.extCsdFilled);
    Returned(returned, description.extCsdFilled);
    return Answer(request, std::nullopt);
}

std::vector<std::uint8_t> SimulatedDevice::FirmwareInfoReply() const {
    std::vector<std::uint8_t> bytes(sizeof(STORAGE_HW_FIRMWARE_INFO) +
                                    description.slots.size() * sizeof(STORAGE_HW_FIRMWARE_SLOT_INFO));
    STORAGE_HW_FIRMWARE_INFO reply{};
    reply.Version = FIRMWARE_INFO_WITH_ONE_SLOT;
    reply.Size = static_cast<std::uint32_t>(bytes.size());
    reply.SupportUpgrade = description.supportUpgrade;
    reply.SlotCount = static_cast<std::uint8_t>(description.slots.size());
    reply.ActiveSlot = state.activeSlot;
    reply.PendingActivateSlot = state.pendingSlot;
    reply.FirmwareShared = description.firmwareShared;
    reply.ImagePayloadAlignment = description.alignment;
    reply.ImagePayloadMaxSize = description.maxPayload;
    std::memcpy(bytes.data(), &reply, sizeof(reply));
    for (std::size_t i = 0; i < description.slots.size(); ++i) {
        STORAGE_HW_FIRMWARE_SLOT_INFO slot{};
        slot.Version = sizeof(slot);
        slot.Size = sizeof(slot);
        slot.SlotNumber = description.slots[i].number;
        slot.ReadOnly = description.slots[i].readOnly;
        std::memcpy(slot.Revision, state.revisions[i].data(), sizeof(slot.Revision));
        std::memcpy(bytes.data() + sizeof(reply) + i * sizeof(slot), &slot, sizeof(slot));
    }
    return bytes;
}

ClassDriverCache::Answer SimulatedDevice::AnswerInfoQuery() const {
    if (description.infoError) {
        return {description.infoError, {}};
    }
    return {std::nullopt, FirmwareInfoReply()};
}

ClassDriver::CachedInfo SimulatedDevice::CachedFirmwareInfo() {
    return [this] {
        return classDriverCache.ForRequest([this] { return AnswerInfoQuery(); });
    };
}

BOOL SimulatedDevice::GetFirmwareInfo(HANDLE drive, const void* query, DWORD queryLength, void* info,
                                      DWORD infoLength, DWORD* returned) {
    Returned(returned, 0);
    const auto fields = ReadRequest<STORAGE_HW_FIRMWARE_INFO_QUERY>(query, queryLength);
    const std::string request = "get_info version=" + std::to_string(fields.Version) +
                                " size=" + std::to_string(fields.Size) +
                                " flags=" + std::to_string(fields.Flags) + Lengths(queryLength, infoLength);
    if (!IsOpen(drive)) {
        return Answer(request, ERROR_INVALID_HANDLE);
    }
    if (const auto refusal = ClassDriver::GetInfoProcess(queryLength, infoLength)) {
        return ClassDriverRefuses(request, *refusal);
    }
    const std::size_t replySize =
        sizeof(STORAGE_HW_FIRMWARE_INFO) + description.slots.size() * sizeof(STORAGE_HW_FIRMWARE_SLOT_INFO);
    // Flags 0 only: the simulated driver answers for the device's own firmware, never for a controller.
    if (query == nullptr || queryLength != sizeof(fields) || fields.Version != sizeof(fields) ||
        fields.Size != sizeof(fields) || fields.Flags != 0 || fields.Reserved != 0 || info == nullptr ||
        infoLength < replySize) {
        return Answer(request, ERROR_INVALID_PARAMETER);
    }
    if (const auto failure = classDriverCache.Refresh([this] { return AnswerInfoQuery(); })) {
        return Answer(request, failure->refusal.error, !failure->byDevice);
    }
    const std::vector<std::uint8_t>& report = classDriverCache.Report();
    const DWORD length = ClassDriver::InfoReplyLength(report, infoLength);
    std::memcpy(info, report.data(), std::min<std::size_t>(length, report.size()));
    Returned(returned, length);
    return Answer(request, std::nullopt);
}

// cppcheck-suppress constParameter ; the reply buffer is the driver boundary's, written by a real driver
BOOL SimulatedDevice::DownloadFirmware(HANDLE drive, const void* request, DWORD requestLength, void* reply,
                                       DWORD replyLength, DWORD* returned) {
    Returned(returned, 0);
    const auto header = ReadRequest<STORAGE_HW_FIRMWARE_DOWNLOAD>(request, requestLength);
    const std::uint8_t* payload =
        request == nullptr ? nullptr : static_cast<const std::uint8_t*>(request) + sizeof(header);
    const std::uint64_t carried = requestLength > sizeof(header) ? requestLength - sizeof(header) : 0;
    const std::uint64_t payloadLength = payload == nullptr ? 0 : std::min(header.BufferSize, carried);
    // The payload's checksum is the one costly part of a request line, and nobody sees it unless the trace
    // records.
    const bool tracing = trace.IsRecording();
    const std::string line =
        !tracing ? std::string()
                 : "download version=" + std::to_string(header.Version) +
                       " size=" + std::to_string(header.Size) + " flags=" + std::to_string(header.Flags) +
                       " slot=" + std::to_string(header.Slot) + " offset=" + std::to_string(header.Offset) +
                       " length=" + std::to_string(header.BufferSize) + Lengths(requestLength, replyLength) +
                       " crc32=" + Hex8(Crc32::Of(payload, static_cast<std::size_t>(payloadLength)));
    if (!IsOpen(drive)) {
        return Answer(line, ERROR_INVALID_HANDLE);
    }
    if (const auto refusal = ClassDriver::DownloadProcess(request, requestLength, CachedFirmwareInfo(),
                                                          description.maxTransferLength)) {
        return ClassDriverRefuses(line, *refusal);
    }
    ++downloadRequests;

    const bool last = header.Flags == STORAGE_HW_FIRMWARE_REQUEST_FLAG_LAST_SEGMENT;
    const std::uint32_t alignment = description.alignment;
    const bool wellFormed =
        request != nullptr && requestLength >= sizeof(header) && reply != nullptr &&
        replyLength == requestLength && header.Version == STORAGE_HW_FIRMWARE_DOWNLOAD_VERSION &&
        header.Size == requestLength && header.BufferSize == requestLength - sizeof(header) &&
        (header.Flags == 0 || last) && AllZero(header.Reserved, sizeof(header.Reserved)) &&
        requestLength <= MAX_DOWNLOAD_REQUEST_SIZE && requestLength <= description.maxPayload &&
        IsWritableSlot(header.Slot) &&
        // Segments follow each other without gap or overlap from offset 0, all of one image for one slot.
        (header.Offset == 0 ||
         (header.Offset == nextOffset && !received.complete && header.Slot == received.slot)) &&
        alignment != 0 && header.Offset % alignment == 0 &&
        (last || (header.BufferSize != 0 && header.BufferSize % alignment == 0));
    if (!wellFormed) {
        return Answer(line, ERROR_INVALID_PARAMETER);
    }
    if (description.downloadError && description.downloadError->request == downloadRequests) {
        return Answer(line, description.downloadError->code);
    }
    if (header.Offset == 0) {
        received = Download{header.Slot, 0, 0, false};
        imageCrc = Crc32();
    }
    if (keepsImageCrc) {
        imageCrc.Update(payload, static_cast<std::size_t>(header.BufferSize));
        received.crc32 = imageCrc.Value();
    }
    received.length += header.BufferSize;
    received.complete = last;
    nextOffset = header.Offset + header.BufferSize;
    // The device counts what it took in its 512-byte sectors.
    state.sectorsProgrammed = static_cast<std::uint32_t>(received.length / 512);
    Changed();
    return Answer(line, std::nullopt);
}

// cppcheck-suppress constParameter ; the reply buffer is the driver boundary's, written by a real driver
BOOL SimulatedDevice::ActivateFirmware(HANDLE drive, const void* request, DWORD requestLength, void* reply,
                                       DWORD replyLength, DWORD* returned) {
    Returned(returned, 0);
    const auto fields = ReadRequest<STORAGE_HW_FIRMWARE_ACTIVATE>(request, requestLength);
    const std::string line = "activate version=" + std::to_string(fields.Version) +
                             " size=" + std::to_string(fields.Size) +
                             " flags=" + std::to_string(fields.Flags) +
                             " slot=" + std::to_string(fields.Slot) + Lengths(requestLength, replyLength);
    if (!IsOpen(drive)) {
        return Answer(line, ERROR_INVALID_HANDLE);
    }
    if (const auto refusal = ClassDriver::ActivateProcess(request, requestLength, CachedFirmwareInfo())) {
        return ClassDriverRefuses(line, *refusal);
    }
    // Only the slot that has just received a whole image can be activated.
    if (request == nullptr || requestLength != sizeof(fields) || reply == nullptr ||
        replyLength != sizeof(fields) || fields.Version != sizeof(fields) || fields.Size != sizeof(fields) ||
        fields.Flags != 0 || !AllZero(fields.Reserved0, sizeof(fields.Reserved0)) || !received.complete ||
        fields.Slot != received.slot) {
        return Answer(line, ERROR_INVALID_PARAMETER);
    }
    // An eMMC installs the image at its next restart; until then the old firmware runs. A device that asks
    // for a power cycle has accepted the activation all the same.
    if (!description.activateError || *description.activateError == STG_S_POWER_CYCLE_REQUIRED) {
        state.pendingSlot = fields.Slot;
        state.pendingImage = MachineState::Device::Image{received.length, received.crc32};
        Changed();
    }
    return Answer(line, description.activateError);
}

void SimulatedDevice::Changed() {
    if (changed) {
        changed(state);
    }
}

std::vector<std::uint8_t> SimulatedDevice::DeviceDescriptor() const {
    using StorageProperty::STORAGE_DEVICE_DESCRIPTOR;
    // Each string follows the fixed part with its terminating NUL, as Windows lays them out.
    std::string strings;
    const auto append = [&strings](const std::optional<std::string>& text) -> std::uint32_t {
        if (!text) {
            return 0;
        }
        const auto offset = static_cast<std::uint32_t>(sizeof(STORAGE_DEVICE_DESCRIPTOR) + strings.size());
        strings += *text;
        strings += '\0';
        return offset;
    };
    STORAGE_DEVICE_DESCRIPTOR descriptor{};
    descriptor.Version = sizeof(descriptor);
    descriptor.VendorIdOffset = append(description.vendor);
    descriptor.ProductIdOffset = append(description.product);
    descriptor.ProductRevisionOffset = append(description.productRevision);
    descriptor.SerialNumberOffset = append(description.serialNumber);
    descriptor.BusType = description.busType;
    descriptor.Size = static_cast<std::uint32_t>(sizeof(descriptor) + strings.size());
    std::vector<std::uint8_t> bytes(descriptor.Size);
    std::memcpy(bytes.data(), &descriptor, sizeof(descriptor));
    std::memcpy(bytes.data() + sizeof(descriptor), strings.data(), strings.size());
    return bytes;
}

std::vector<std::uint8_t> SimulatedDevice::AdapterDescriptor() const {
    constexpr std::uint32_t PAGE = 4096;
    StorageProperty::STORAGE_ADAPTER_DESCRIPTOR descriptor{};
    descriptor.Version = sizeof(descriptor);
    descriptor.Size = sizeof(descriptor);
    descriptor.MaximumTransferLength = description.maxTransferLength;
    descriptor.MaximumPhysicalPages = description.maxTransferLength / PAGE + 1;
    descriptor.BusType = static_cast<std::uint8_t>(description.busType);
    std::vector<std::uint8_t> bytes(sizeof(descriptor));
    std::memcpy(bytes.data(), &descriptor, sizeof(descriptor));
    return bytes;
}

BOOL SimulatedDevice::QueryProperty(HANDLE drive, const void* query, DWORD queryLength, void* descriptor,
                                    DWORD descriptorLength, DWORD* returned) {
    using namespace StorageProperty;
    Returned(returned, 0);
    const auto fields = ReadRequest<STORAGE_PROPERTY_QUERY>(query, queryLength);
    const std::string request = "property id=" + std::to_string(fields.PropertyId) +
                                " type=" + std::to_string(fields.QueryType) +
                                Lengths(queryLength, descriptorLength);
    if (!IsOpen(drive)) {
        return Answer(request, ERROR_INVALID_HANDLE);
    }
    // Windows takes a query of at least the structure's size, of either query type, and an output of any
    // length, none at all included.
    if (query == nullptr || queryLength < sizeof(fields) ||
        (fields.QueryType != PropertyStandardQuery && fields.QueryType != PropertyExistsQuery) ||
        (descriptor == nullptr && descriptorLength != 0)) {
        return Answer(request, ERROR_INVALID_PARAMETER);
    }
    std::optional<DWORD> error;
    std::vector<std::uint8_t> bytes;
    if (fields.PropertyId == StorageDeviceProperty) {
        error = description.devicePropertyError;
        bytes = DeviceDescriptor();
    } else if (fields.PropertyId == StorageAdapterProperty) {
        error = description.adapterPropertyError;
        bytes = AdapterDescriptor();
    } else {
        return Answer(request, ERROR_NOT_SUPPORTED);
    }
    if (error || fields.QueryType == PropertyExistsQuery) {
        return Answer(request, error);
    }
    const DWORD length = std::min<DWORD>(descriptorLength, static_cast<DWORD>(bytes.size()));
    if (descriptor != nullptr) {
        std::memcpy(descriptor, bytes.data(), length);
    }
    Returned(returned, length);
    return Answer(request, std::nullopt);
}

BOOL SimulatedDevice::Refuse(const std::string& request) {
    return Answer(request, ERROR_INVALID_PARAMETER);
}
