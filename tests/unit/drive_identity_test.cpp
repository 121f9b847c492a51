#include "device/drive_identity.h"
#include "device/storage_property.h"

#ifdef _WIN32
#include "device/emmc.h"
#include "sim/simulated_machine.h"
#include "tests/unit/unit_logger.h"
#endif

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

using namespace StorageProperty;

namespace {

using Text = DriveIdentity::Text;

// A device descriptor of `size` returned bytes: the fixed part with the offsets given, and text placed at
// offset 40 on.
std::vector<std::uint8_t> DeviceDescriptor(std::uint32_t vendorOffset, std::uint32_t productOffset,
                                           const std::string& strings, std::size_t size) {
    STORAGE_DEVICE_DESCRIPTOR descriptor{};
    descriptor.Version = sizeof(descriptor);
    descriptor.Size = static_cast<std::uint32_t>(sizeof(descriptor) + strings.size());
    descriptor.VendorIdOffset = vendorOffset;
    descriptor.ProductIdOffset = productOffset;
    descriptor.BusType = BusTypeMmc;
    std::vector<std::uint8_t> bytes(sizeof(descriptor) + strings.size());
    std::memcpy(bytes.data(), &descriptor, sizeof(descriptor));
    std::memcpy(bytes.data() + sizeof(descriptor), strings.data(), strings.size());
    bytes.resize(size);
    return bytes;
}

// Only the returned bytes are read: a string beyond them or without its NUL inside them is none.
TEST(DriveIdentity, ReadsOnlyInsideTheReturnedBytes) {
    const std::string strings("  ACME  \0QSIM eMMC\0   \0", 23);
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::optional<std::uint32_t> busType;
        std::optional<std::string> rawVendor;
        std::optional<std::string> vendor;
        std::optional<std::string> product;
    } cases[] = {
        {"whole", DeviceDescriptor(40, 49, strings, 63), BusTypeMmc, "  ACME  ", "ACME", "QSIM eMMC"},
        {"offset 0 is none", DeviceDescriptor(0, 49, strings, 63), BusTypeMmc, std::nullopt, std::nullopt,
         "QSIM eMMC"},
        {"the last NUL not returned", DeviceDescriptor(40, 49, strings, 58), BusTypeMmc, "  ACME  ", "ACME",
         std::nullopt},
        {"strings not returned", DeviceDescriptor(40, 49, strings, 40), BusTypeMmc, std::nullopt,
         std::nullopt, std::nullopt},
        {"offsets far beyond", DeviceDescriptor(0xFFFFFFF0, 0x7FFFFFFF, strings, 63), BusTypeMmc,
         std::nullopt, std::nullopt, std::nullopt},
        {"blanks only", DeviceDescriptor(40, 59, strings, 63), BusTypeMmc, "  ACME  ", "ACME", ""},
        {"an empty string", DeviceDescriptor(48, 40, strings, 63), BusTypeMmc, "", "", "ACME"},
        {"bus type not returned", DeviceDescriptor(40, 49, strings, 31), std::nullopt, std::nullopt,
         std::nullopt, std::nullopt},
        {"nothing returned", {}, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& [name, bytes, busType, rawVendor, vendor, product] : cases) {
        SCOPED_TRACE(name);
        const DriveIdentity identity(std::nullopt, bytes, std::nullopt, {});
        EXPECT_EQ(identity.BusType(), busType);
        EXPECT_EQ(identity.Raw(Text::Vendor), rawVendor);
        EXPECT_EQ(identity.Trimmed(Text::Vendor), vendor);
        EXPECT_EQ(identity.Trimmed(Text::Product), product);
        EXPECT_EQ(identity.Raw(Text::SerialNumber), std::nullopt);
        EXPECT_EQ(identity.MaximumTransferLength(), std::nullopt);
    }
}

#ifdef _WIN32
// The device answers the property query as Windows documents it, and the device layer reads a descriptor
// larger than its first buffer whole, asking again with the room the descriptor names.
TEST(DriveIdentity, ReadsWhatTheDeviceAnswers) {
    const std::string longSerial(1000, 'S');
    SimulatedMachine::Install(DeviceDescription::Parse("product = \" QSIM # \"\nproduct_revision =\n"
                                                       "serial_number = " +
                                                       longSerial +
                                                       "\nbus_type = 0x0C\nmax_transfer_length = "
                                                       "0x20000\n"));
    const LogCapture capture;
    const eMMC device(L"\\\\.\\PhysicalDrive0");
    const DriveIdentity identity = DriveIdentity::Read(device);
    EXPECT_EQ(identity.DeviceError(), std::nullopt);
    EXPECT_EQ(identity.BusType(), BusTypeSd);
    EXPECT_EQ(identity.Raw(Text::Vendor), std::nullopt);
    EXPECT_EQ(identity.Raw(Text::Product), " QSIM # ");
    EXPECT_EQ(identity.Trimmed(Text::Product), "QSIM #");
    EXPECT_EQ(identity.Raw(Text::ProductRevision), "");
    EXPECT_EQ(identity.Raw(Text::SerialNumber), longSerial);
    EXPECT_EQ(identity.MaximumTransferLength(), 0x20000u);
    const std::vector<std::string> expected = {
        "open \\\\.\\PhysicalDrive0 ok",
        "property id=0 type=0 in=12 out=512 ok",
        "property id=0 type=0 in=12 out=" + std::to_string(40 + 9 + 1 + 1001) + " ok",
        "property id=1 type=0 in=12 out=512 ok",
    };
    EXPECT_EQ(SimulatedMachine::Current().Trace().Lines(), expected);
}

TEST(SimulatedDevice, AnswersPropertyQueriesAsWindowsDocuments) {
    const struct {
        const char* name;
        std::uint32_t propertyId;
        std::uint32_t queryType;
        DWORD queryLength;
        DWORD outputLength;
        std::optional<DWORD> error;
        DWORD returned;
    } cases[] = {
        {"device descriptor", StorageDeviceProperty, PropertyStandardQuery, 12, 512, std::nullopt, 40 + 10},
        {"a longer query", StorageDeviceProperty, PropertyStandardQuery, 16, 512, std::nullopt, 40 + 10},
        {"only the header fits", StorageDeviceProperty, PropertyStandardQuery, 12, 8, std::nullopt, 8},
        {"adapter descriptor", StorageAdapterProperty, PropertyStandardQuery, 12, 512, std::nullopt, 32},
        {"whether it exists", StorageAdapterProperty, PropertyExistsQuery, 12, 0, std::nullopt, 0},
        {"a short query", StorageDeviceProperty, PropertyStandardQuery, 11, 512, ERROR_INVALID_PARAMETER, 0},
        {"another query type", StorageDeviceProperty, 2, 12, 512, ERROR_INVALID_PARAMETER, 0},
        {"another property", 2, PropertyStandardQuery, 12, 512, ERROR_NOT_SUPPORTED, 0},
    };
    for (const auto& [name, propertyId, queryType, queryLength, outputLength, error, returned] : cases) {
        SCOPED_TRACE(name);
        SimulatedDevice device(DeviceDescription::Parse("product = QSIM eMMC"), RequestTrace::InMemory());
        const HANDLE drive = device.Open(L"\\\\.\\PhysicalDrive0");
        std::vector<std::uint8_t> buffer(std::max<DWORD>(queryLength, outputLength), 0xEE);
        const STORAGE_PROPERTY_QUERY query{propertyId, queryType, {}, {}};
        std::memcpy(buffer.data(), &query, std::min<std::size_t>(sizeof(query), queryLength));
        DWORD count = 0xFFFF;
        // One buffer for the query and the descriptor, as a buffered control has them.
        const BOOL ok =
            device.QueryProperty(drive, buffer.data(), queryLength,
                                 outputLength == 0 ? nullptr : buffer.data(), outputLength, &count);
        EXPECT_EQ(ok == FALSE, error.has_value());
        if (error) {
            EXPECT_EQ(GetLastError(), *error);
        }
        EXPECT_EQ(count, returned);
        if (returned >= sizeof(STORAGE_DESCRIPTOR_HEADER)) {
            STORAGE_DESCRIPTOR_HEADER header{};
            std::memcpy(&header, buffer.data(), sizeof(header));
            // Size names the whole descriptor, however much of it fitted.
            EXPECT_EQ(header.Size, propertyId == StorageDeviceProperty ? 50u : 32u);
        }
        EXPECT_EQ(device.Trace().Lines().back(),
                  "property id=" + std::to_string(propertyId) + " type=" + std::to_string(queryType) +
                      " in=" + std::to_string(queryLength) + " out=" + std::to_string(outputLength) +
                      (error ? " error 0x000000" + std::string(*error == 87 ? "57" : "32") : " ok"));
    }
}
#endif

} // namespace
