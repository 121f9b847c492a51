#include "device/emmc.h"

#include "device/ext_csd.h"
#include "device/storage_firmware.h"
#include "device/storage_property.h"
#include "device/update_rules.h"
#include "device/virtual_allocator.h"
#include "diag/logger.h"
#include "diag/win32_error.h"

#include <algorithm>
#include <cstring>

using namespace StorageFirmware;

static_assert(sizeof(eMMC) == sizeof(HANDLE), "the drive handle is the device object's only state");

eMMC::eMMC(const std::wstring& drivePath) : drive(StorageDriver::OpenDrive(drivePath.c_str())) {
    if (!drive.IsOpen()) {
        const DWORD error = GetLastError();
        throw Windows::Win32Error(error, "eMMC::eMMC - could not open device");
    }
    *logger << L"eMMC::eMMC - opened device " << drivePath.c_str() << "\n";
}

std::optional<DWORD> eMMC::ReadExtCsd(std::vector<std::uint8_t>& extCsd) const {
    extCsd.assign(ExtCsd::SIZE, 0);
    // Bytes that the driver leaves unwritten keep their zero, so the returned byte count is not needed.
    if (!StorageDriver::ReadExtCsd(drive.Get(), extCsd.data(), static_cast<DWORD>(extCsd.size()))) {
        return GetLastError();
    }
    return std::nullopt;
}

std::optional<DWORD> eMMC::ReadFirmwareInfo(std::vector<std::uint8_t>& reply) const {
    reply.assign(FIRMWARE_INFO_REPLY_SIZE, 0);
    // Flags 0: the query concerns the device's own firmware, not its controller's.
    STORAGE_HW_FIRMWARE_INFO_QUERY query{sizeof(query), sizeof(query), 0, 0};
    if (!StorageDriver::GetFirmwareInfo(drive.Get(), &query, sizeof(query), reply.data(),
                                        static_cast<DWORD>(reply.size()))) {
        return GetLastError();
    }
    return std::nullopt;
}

std::optional<DWORD> eMMC::ReadProperty(std::uint32_t propertyId,
                                        std::vector<std::uint8_t>& descriptor) const {
    // Room for the fixed part and its strings at once; a descriptor that says it is larger is asked for
    // again with the room it names, unless that is beyond any sane descriptor.
    constexpr DWORD FIRST_ROOM = 512;
    StorageProperty::STORAGE_PROPERTY_QUERY query{propertyId, StorageProperty::PropertyStandardQuery, {}, {}};
    DWORD room = FIRST_ROOM;
    for (;;) {
        descriptor.assign(room, 0);
        DWORD returned = 0;
        if (!StorageDriver::QueryProperty(drive.Get(), &query, sizeof(query), descriptor.data(), room,
                                          &returned)) {
            const DWORD error = GetLastError();
            descriptor.clear();
            return error;
        }
        descriptor.resize(std::min(returned, room));
        StorageProperty::STORAGE_DESCRIPTOR_HEADER header{};
        if (descriptor.size() < sizeof(header) || room != FIRST_ROOM) {
            return std::nullopt;
        }
        std::memcpy(&header, descriptor.data(), sizeof(header));
        if (header.Size <= room || header.Size > StorageProperty::MAX_DESCRIPTOR_SIZE) {
            return std::nullopt;
        }
        room = header.Size;
    }
}

void eMMC::CMD8(std::vector<std::uint8_t>& extCsd) const {
    if (const auto error = ReadExtCsd(extCsd)) {
        extCsd.clear();
        throw Windows::Win32Error(*error, "eMMC::CMD8");
    }
}

bool eMMC::CanUpdateFirmware() const {
    std::vector<std::uint8_t> extCsd(ExtCsd::SIZE);
    try {
        CMD8(extCsd);
        if (const wchar_t* refusal = UpdateRules::EligibilityRefusal(extCsd)) {
            *logger << refusal;
            return false;
        }
        return true;
    } catch (...) {
        // The reason for a failed read stays out of the output: the operator learns only that the
        // device could not be judged.
        *logger << UpdateRules::EXT_CSD_UNREADABLE;
        return false;
    }
}

bool eMMC::UpdateFirmware(const std::vector<std::uint8_t>& image) const {
    std::vector<std::uint8_t> reply(FIRMWARE_INFO_REPLY_SIZE);
    *logger << L"eMMC::UpdateFirmware\n";
    if (ReadFirmwareInfo(reply)) {
        *logger << UpdateRules::FIRMWARE_INFO_UNAVAILABLE;
        return false;
    }
    const UpdateRules::DownloadPlan plan = UpdateRules::PlanDownload(reply);
    if (plan.refusal != nullptr) {
        *logger << plan.refusal;
        return false;
    }
    return DownloadAndActivate(image, plan.slot, plan.segmentSize);
}

bool eMMC::DownloadAndActivate(const std::vector<std::uint8_t>& image, std::uint8_t slot,
                               std::uint32_t segmentSize) const {
    std::vector<std::uint8_t, VirtualAllocator<std::uint8_t>> transfer(segmentSize + DOWNLOAD_HEADER_SIZE);
    const std::uint32_t imageLength = static_cast<std::uint32_t>(image.size());
    const std::uint32_t requests = UpdateRules::DownloadRequests(imageLength, segmentSize);

    *logger << L"eMMC::UpdateFirmware - downloading firmware...\n";
    for (std::uint32_t request = 0; request < requests; ++request) {
        const STORAGE_HW_FIRMWARE_DOWNLOAD header =
            UpdateRules::SegmentHeader(imageLength, segmentSize, request, slot);
        const auto offset = static_cast<std::uint32_t>(header.Offset);
        std::memcpy(transfer.data(), &header, sizeof(header));
        if (header.BufferSize != 0) {
            std::memcpy(transfer.data() + DOWNLOAD_HEADER_SIZE, image.data() + offset,
                        static_cast<std::size_t>(header.BufferSize));
        }
        *logger << L"eMMC::UpdateFirmware - downloading offset " << offset << "...\n";
        if (!StorageDriver::DownloadFirmware(drive.Get(), transfer.data(), header.Size, transfer.data(),
                                             header.Size)) {
            const DWORD error = GetLastError();
            // Nothing is sent after a failed segment: no retry, no abort and no activation.
            if (error == STG_E_FIRMWARE_IMAGE_INVALID) {
                *logger << L"eMMC::UpdateFirmware - bad / incompatible firmware image\n";
            } else {
                *logger << UpdateRules::DOWNLOAD_FAILED;
            }
            return false;
        }
    }

    STORAGE_HW_FIRMWARE_ACTIVATE activate{sizeof(activate), sizeof(activate), 0, slot, {}};
    if (StorageDriver::ActivateFirmware(drive.Get(), &activate, sizeof(activate), &activate,
                                        sizeof(activate))) {
        *logger << L"eMMC::UpdateFirmware - success\n";
        return true;
    }
    const DWORD error = GetLastError();
    if (error == STG_S_POWER_CYCLE_REQUIRED) {
        *logger << L"eMMC::UpdateFirmware - success (reboot required)\n";
        return true;
    }
    if (error == STG_E_FIRMWARE_IMAGE_INVALID) {
        *logger << L"eMMC::UpdateFirmware - bad / incompatible firmware image\n";
    } else {
        *logger << L"eMMC::UpdateFirmware - bad slot No.\n";
    }
    return false;
}
