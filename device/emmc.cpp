#include "device/emmc.h"

#include "device/ext_csd.h"
#include "device/storage_firmware.h"
#include "device/virtual_allocator.h"
#include "diag/logger.h"
#include "diag/win32_error.h"

#include <algorithm>
#include <cstring>

using namespace StorageFirmware;

static_assert(sizeof(eMMC) == sizeof(HANDLE), "the drive handle is the device object's only state");

namespace {

constexpr std::uint8_t NO_SLOT = 255;

// The first writable entry of the slot table wins, whatever its number; a table without one, or whose
// first writable entry is numbered 255, offers no slot.
std::uint8_t ChooseSlot(const std::vector<std::uint8_t>& reply, std::uint8_t slotCount) {
    for (std::size_t i = 0; i < slotCount; ++i) {
        STORAGE_HW_FIRMWARE_SLOT_INFO slot;
        std::memcpy(&slot, reply.data() + sizeof(STORAGE_HW_FIRMWARE_INFO) + i * sizeof(slot), sizeof(slot));
        if ((slot.ReadOnly & SLOT_READ_ONLY) == 0) {
            return slot.SlotNumber;
        }
    }
    return NO_SLOT;
}

// The payload of every segment but the last: the largest multiple of the alignment that fits into one
// request together with its header. 0 when the driver's report leaves no room for a payload: an alignment
// of 0, a maximum size below the header's, or less than one alignment unit left after the header.
std::uint32_t SegmentSize(std::uint32_t maxPayloadSize, std::uint32_t alignment) {
    const std::uint32_t requestSize = std::min(maxPayloadSize, MAX_DOWNLOAD_REQUEST_SIZE);
    if (requestSize < DOWNLOAD_HEADER_SIZE) {
        return 0;
    }
    return (requestSize - DOWNLOAD_HEADER_SIZE) & (0u - alignment);
}

} // namespace

eMMC::eMMC(const std::wstring& drivePath) : drive(StorageDriver::OpenDrive(drivePath.c_str())) {
    if (!drive.IsOpen()) {
        const DWORD error = GetLastError();
        throw Windows::Win32Error(error, "eMMC::eMMC - could not open device");
    }
    *logger << L"eMMC::eMMC - opened device " << drivePath.c_str() << "\n";
}

void eMMC::CMD8(std::vector<std::uint8_t>& extCsd) const {
    extCsd.resize(ExtCsd::SIZE);
    // Bytes that the driver leaves unwritten keep their zero, so the returned byte count is not needed.
    if (!StorageDriver::ReadExtCsd(drive.Get(), extCsd.data(), static_cast<DWORD>(extCsd.size()))) {
        const DWORD error = GetLastError();
        extCsd.clear();
        throw Windows::Win32Error(error, "eMMC::CMD8");
    }
}

bool eMMC::CanUpdateFirmware() const {
    std::vector<std::uint8_t> extCsd(ExtCsd::SIZE);
    try {
        CMD8(extCsd);
        if (extCsd[ExtCsd::EXT_CSD_REV] < ExtCsd::EXT_CSD_REV_EMMC_5_0) {
            *logger << L"eMMC::CanUpdateFirmware - cannot update (eMMC version < 5.0)\n";
            return false;
        }
        if ((extCsd[ExtCsd::SUPPORTED_MODES] & ExtCsd::SUPPORTED_MODES_FFU) == 0) {
            *logger << L"eMMC::CanUpdateFirmware - cannot update (unsupported eMMC mode)\n";
            return false;
        }
        if ((extCsd[ExtCsd::FW_CONFIG] & ExtCsd::FW_CONFIG_UPDATE_DISABLE) != 0) {
            *logger << L"eMMC::CanUpdateFirmware - cannot update (FFU disabled)\n";
            return false;
        }
        return true;
    } catch (...) {
        // The reason for a failed read stays out of the output: the operator learns only that the
        // device could not be judged.
        *logger << L"eMMC::CanUpdateFirmware - cannot update (general failure)\n";
        return false;
    }
}

bool eMMC::UpdateFirmware(const std::vector<std::uint8_t>& image) const {
    std::vector<std::uint8_t> reply(FIRMWARE_INFO_REPLY_SIZE);
    *logger << L"eMMC::UpdateFirmware\n";

    // Flags 0: the query concerns the device's own firmware, not its controller's.
    STORAGE_HW_FIRMWARE_INFO_QUERY query{sizeof(query), sizeof(query), 0, 0};
    if (!StorageDriver::GetFirmwareInfo(drive.Get(), &query, sizeof(query), reply.data(),
                                        static_cast<DWORD>(reply.size()))) {
        *logger << L"eMMC::UpdateFirmware - unknown error\n";
        return false;
    }
    STORAGE_HW_FIRMWARE_INFO info;
    std::memcpy(&info, reply.data(), sizeof(info));
    if ((info.SupportUpgrade & SUPPORT_UPGRADE) == 0) {
        *logger << L"eMMC::UpdateFirmware - no upgrade supported\n";
        return false;
    }
    const std::uint8_t slot = ChooseSlot(reply, info.SlotCount);
    if (slot == NO_SLOT) {
        *logger << L"eMMC::UpdateFirmware - no free slot found\n";
        return false;
    }
    const std::uint32_t segmentSize = SegmentSize(info.ImagePayloadMaxSize, info.ImagePayloadAlignment);
    if (segmentSize == 0) {
        *logger << L"eMMC::UpdateFirmware - unusable payload size\n";
        return false;
    }
    return DownloadAndActivate(image, slot, segmentSize);
}

bool eMMC::DownloadAndActivate(const std::vector<std::uint8_t>& image, std::uint8_t slot,
                               std::uint32_t segmentSize) const {
    std::vector<std::uint8_t, VirtualAllocator<std::uint8_t>> transfer(segmentSize + DOWNLOAD_HEADER_SIZE);
    std::uint32_t offset = 0;
    const std::uint8_t* position = image.data();
    std::uint32_t remaining = static_cast<std::uint32_t>(image.size());

    *logger << L"eMMC::UpdateFirmware - downloading firmware...\n";
    for (;;) {
        // The last segment carries exactly the bytes that remain, unpadded; an empty image is one empty
        // last segment.
        const bool last = remaining <= segmentSize;
        const std::uint32_t length = last ? remaining : segmentSize;
        const STORAGE_HW_FIRMWARE_DOWNLOAD header{STORAGE_HW_FIRMWARE_DOWNLOAD_VERSION,
                                                  length + DOWNLOAD_HEADER_SIZE,
                                                  last ? STORAGE_HW_FIRMWARE_REQUEST_FLAG_LAST_SEGMENT : 0u,
                                                  slot,
                                                  {},
                                                  offset,
                                                  length};
        std::memcpy(transfer.data(), &header, sizeof(header));
        if (length != 0) {
            std::memcpy(transfer.data() + DOWNLOAD_HEADER_SIZE, position, length);
        }
        *logger << L"eMMC::UpdateFirmware - downloading offset " << offset << "...\n";
        if (!StorageDriver::DownloadFirmware(drive.Get(), transfer.data(), header.Size, transfer.data(),
                                             header.Size)) {
            const DWORD error = GetLastError();
            // Nothing is sent after a failed segment: no retry, no abort and no activation.
            if (error == STG_E_FIRMWARE_IMAGE_INVALID) {
                *logger << L"eMMC::UpdateFirmware - bad / incompatible firmware image\n";
            } else {
                *logger << L"eMMC::UpdateFirmware - failure to download\n";
            }
            return false;
        }
        if (last) {
            break;
        }
        offset += length;
        position += length;
        remaining -= length;
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
