#pragma once

#include <cstddef>
#include <cstdint>

// The storage property query of the Windows storage driver stack (IOCTL_STORAGE_QUERY_PROPERTY,
// 0x002D1400), as ntddstor.h lays it out: what Windows says of a disk and of the adapter it hangs on. The
// compiler's headers declare these with enum-typed fields; they are spelled out here with fixed widths,
// and the asserts pin every size and offset that is read or written.
namespace StorageProperty {

// STORAGE_PROPERTY_ID: which descriptor is asked for.
constexpr std::uint32_t StorageDeviceProperty = 0;
constexpr std::uint32_t StorageAdapterProperty = 1;

// STORAGE_QUERY_TYPE: the descriptor itself, or only whether the driver has it.
constexpr std::uint32_t PropertyStandardQuery = 0;
constexpr std::uint32_t PropertyExistsQuery = 1;

// STORAGE_BUS_TYPE, as the device descriptor's BusType carries it.
constexpr std::uint32_t BusTypeUnknown = 0x00;
constexpr std::uint32_t BusTypeScsi = 0x01;
constexpr std::uint32_t BusTypeAtapi = 0x02;
constexpr std::uint32_t BusTypeAta = 0x03;
constexpr std::uint32_t BusType1394 = 0x04;
constexpr std::uint32_t BusTypeSsa = 0x05;
constexpr std::uint32_t BusTypeFibre = 0x06;
constexpr std::uint32_t BusTypeUsb = 0x07;
constexpr std::uint32_t BusTypeRAID = 0x08;
constexpr std::uint32_t BusTypeiScsi = 0x09;
constexpr std::uint32_t BusTypeSas = 0x0A;
constexpr std::uint32_t BusTypeSata = 0x0B;
constexpr std::uint32_t BusTypeSd = 0x0C;
constexpr std::uint32_t BusTypeMmc = 0x0D;
constexpr std::uint32_t BusTypeVirtual = 0x0E;
constexpr std::uint32_t BusTypeFileBackedVirtual = 0x0F;
constexpr std::uint32_t BusTypeSpaces = 0x10;
constexpr std::uint32_t BusTypeNvme = 0x11;
constexpr std::uint32_t BusTypeSCM = 0x12;
constexpr std::uint32_t BusTypeUfs = 0x13;

// The SDK's one-byte AdditionalParameters array is padded to a multiple of four.
struct STORAGE_PROPERTY_QUERY {
    std::uint32_t PropertyId;
    std::uint32_t QueryType;
    std::uint8_t AdditionalParameters[1];
    std::uint8_t Padding[3];
};
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12);
static_assert(offsetof(STORAGE_PROPERTY_QUERY, QueryType) == 4);
static_assert(offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters) == 8);

// The start of every descriptor: Size is the whole descriptor's, however much of it the caller received.
struct STORAGE_DESCRIPTOR_HEADER {
    std::uint32_t Version;
    std::uint32_t Size;
};
static_assert(sizeof(STORAGE_DESCRIPTOR_HEADER) == 8);

// The strings follow the fixed part; each offset counts from the descriptor's start, 0 when there is none.
struct STORAGE_DEVICE_DESCRIPTOR {
    std::uint32_t Version;
    std::uint32_t Size;
    std::uint8_t DeviceType;
    std::uint8_t DeviceTypeModifier;
    std::uint8_t RemovableMedia;
    std::uint8_t CommandQueueing;
    std::uint32_t VendorIdOffset;
    std::uint32_t ProductIdOffset;
    std::uint32_t ProductRevisionOffset;
    std::uint32_t SerialNumberOffset;
    std::uint32_t BusType;
    std::uint32_t RawPropertiesLength;
    std::uint8_t RawDeviceProperties[1];
    std::uint8_t Padding[3];
};
static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == 40);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceType) == 8);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia) == 10);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == 16);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset) == 20);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset) == 24);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == 28);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RawPropertiesLength) == 32);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties) == 36);

// SrbType and AddressType exist since Windows 8, so the whole structure is what Windows 10 returns.
struct STORAGE_ADAPTER_DESCRIPTOR {
    std::uint32_t Version;
    std::uint32_t Size;
    std::uint32_t MaximumTransferLength;
    std::uint32_t MaximumPhysicalPages;
    std::uint32_t AlignmentMask;
    std::uint8_t AdapterUsesPio;
    std::uint8_t AdapterScansDown;
    std::uint8_t CommandQueueing;
    std::uint8_t AcceleratedTransfer;
    std::uint8_t BusType;
    std::uint8_t Reserved;
    std::uint16_t BusMajorVersion;
    std::uint16_t BusMinorVersion;
    std::uint8_t SrbType;
    std::uint8_t AddressType;
};
static_assert(sizeof(STORAGE_ADAPTER_DESCRIPTOR) == 32);
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, MaximumTransferLength) == 8);
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask) == 16);
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusType) == 24);
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusMajorVersion) == 26);
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, SrbType) == 30);

// No descriptor that the probe reads is near this size; a Size above it is not followed.
constexpr std::uint32_t MAX_DESCRIPTOR_SIZE = 4096;

} // namespace StorageProperty
