#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// The storage firmware requests of the Windows storage driver stack, as ntddstor.h lays them out. The
// compiler's headers do not define them, so they are spelled out here with fixed-width fields; the
// asserts pin every size and offset that the driver reads or that the tool reads back.
namespace StorageFirmware {

// winerror.h: the device or driver rejects the image.
constexpr std::uint32_t STG_E_FIRMWARE_IMAGE_INVALID = 0x80030209;
// winerror.h: the slot was activated, but the new firmware runs only after a power cycle.
constexpr std::uint32_t STG_S_POWER_CYCLE_REQUIRED = 0x00030207;

// The request is for the controller's firmware, not the device's.
constexpr std::uint32_t STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER = 0x00000001;
constexpr std::uint32_t STORAGE_HW_FIRMWARE_REQUEST_FLAG_LAST_SEGMENT = 0x00000002;

struct STORAGE_HW_FIRMWARE_INFO_QUERY {
    std::uint32_t Version;
    std::uint32_t Size;
    std::uint32_t Flags;
    std::uint32_t Reserved;
};
static_assert(sizeof(STORAGE_HW_FIRMWARE_INFO_QUERY) == 16);

// The fixed part of the reply to IOCTL_STORAGE_FIRMWARE_GET_INFO; the slot table follows it.
struct STORAGE_HW_FIRMWARE_INFO {
    std::uint32_t Version;
    std::uint32_t Size;
    std::uint8_t SupportUpgrade; // bit 0; the other bits are reserved
    std::uint8_t SlotCount;
    std::uint8_t ActiveSlot;
    std::uint8_t PendingActivateSlot;
    std::uint8_t FirmwareShared;
    std::uint8_t Reserved[3];
    std::uint32_t ImagePayloadAlignment;
    std::uint32_t ImagePayloadMaxSize;
};
static_assert(sizeof(STORAGE_HW_FIRMWARE_INFO) == 24);
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, SupportUpgrade) == 8);
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, SlotCount) == 9);
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, ActiveSlot) == 10);
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, ImagePayloadAlignment) == 16);
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, ImagePayloadMaxSize) == 20);

// The fixed part of a reply that holds at least that part.
inline STORAGE_HW_FIRMWARE_INFO InfoOf(const std::vector<std::uint8_t>& reply) {
    STORAGE_HW_FIRMWARE_INFO info;
    std::memcpy(&info, reply.data(), sizeof(info));
    return info;
}

struct STORAGE_HW_FIRMWARE_SLOT_INFO {
    std::uint32_t Version;
    std::uint32_t Size;
    std::uint8_t SlotNumber;
    std::uint8_t ReadOnly; // bit 0; the other bits are reserved
    std::uint8_t Reserved[6];
    std::uint8_t Revision[16];
};
static_assert(sizeof(STORAGE_HW_FIRMWARE_SLOT_INFO) == 32);
static_assert(offsetof(STORAGE_HW_FIRMWARE_SLOT_INFO, SlotNumber) == 8);
static_assert(offsetof(STORAGE_HW_FIRMWARE_SLOT_INFO, ReadOnly) == 9);

// The SDK's STORAGE_HW_FIRMWARE_INFO counts one slot entry in its size, as the class driver's checks do.
constexpr std::size_t FIRMWARE_INFO_WITH_ONE_SLOT =
    sizeof(STORAGE_HW_FIRMWARE_INFO) + sizeof(STORAGE_HW_FIRMWARE_SLOT_INFO);
static_assert(FIRMWARE_INFO_WITH_ONE_SLOT == 56);

constexpr std::uint8_t SUPPORT_UPGRADE = 0x01;
constexpr std::uint8_t SLOT_READ_ONLY = 0x01;

// The one-byte slot count can name at most 255 entries; the reply buffer has room for 256.
constexpr std::size_t FIRMWARE_INFO_REPLY_SIZE =
    sizeof(STORAGE_HW_FIRMWARE_INFO) + 256 * sizeof(STORAGE_HW_FIRMWARE_SLOT_INFO);
static_assert(FIRMWARE_INFO_REPLY_SIZE == 8216);

// The header of a download request; the payload follows it directly. Version carries the size of the
// SDK structure, whose trailing one-byte image array is padded to 40 bytes.
struct STORAGE_HW_FIRMWARE_DOWNLOAD {
    std::uint32_t Version;
    std::uint32_t Size;
    std::uint32_t Flags;
    std::uint8_t Slot;
    std::uint8_t Reserved[3];
    std::uint64_t Offset;
    std::uint64_t BufferSize;
};
static_assert(sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD) == 32);
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Flags) == 8);
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Slot) == 12);
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Offset) == 16);
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, BufferSize) == 24);
constexpr std::uint32_t STORAGE_HW_FIRMWARE_DOWNLOAD_VERSION = 40;
constexpr std::uint32_t DOWNLOAD_HEADER_SIZE = sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD);

// No request to the driver, header and payload together, exceeds this size.
constexpr std::uint32_t MAX_DOWNLOAD_REQUEST_SIZE = 65536;

struct STORAGE_HW_FIRMWARE_ACTIVATE {
    std::uint32_t Version;
    std::uint32_t Size;
    std::uint32_t Flags;
    std::uint8_t Slot;
    std::uint8_t Reserved0[3];
};
static_assert(sizeof(STORAGE_HW_FIRMWARE_ACTIVATE) == 16);
static_assert(offsetof(STORAGE_HW_FIRMWARE_ACTIVATE, Slot) == 12);

} // namespace StorageFirmware
