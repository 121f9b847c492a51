// The twin that the probe writes of a device, read back as a simulated device's description: it must be taken
// whole and answer with the same bytes as the device did.
#include "probe/twin_description.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/generated_inventory.h"
#include "probe/report_fields.h"
#include "sim/device_description.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

using namespace StorageFirmware;

namespace {

// An identity string as a description line can hold it: a line feed ends the line.
std::optional<std::string> OnOneLine(std::optional<std::string> text) {
    if (text) {
        std::replace(text->begin(), text->end(), '\n', '?');
    }
    return text;
}

void CheckTwin(const DeviceInventory& inventory, const DeviceDescription& twin) {
    const wchar_t drive = inventory.drivePath.back();
    Fuzz::Check(twin.drive == (drive >= L'0' && drive <= L'9' ? drive - L'0' : 0),
                "the twin is on the drive");
    if (inventory.openFailure) {
        Fuzz::Check(twin.openError == inventory.openFailure->code,
                    "the twin fails the open as the device did");
        return;
    }
    Fuzz::Check(!twin.openError, "the twin opens");
    if (inventory.extCsdFailure) {
        Fuzz::Check(twin.extCsdError == inventory.extCsdFailure->code && !twin.extCsd,
                    "the twin fails the EXT_CSD read as the device did");
    } else {
        Fuzz::Check(!twin.extCsdError && twin.extCsd &&
                        std::equal(twin.extCsd->begin(), twin.extCsd->end(), inventory.extCsd.begin()),
                    "the twin's EXT_CSD is the device's, byte for byte");
    }
    const DriveIdentity& identity = inventory.identity;
    if (inventory.deviceDescriptorFailure) {
        Fuzz::Check(twin.devicePropertyError == inventory.deviceDescriptorFailure->code,
                    "the twin fails the device descriptor as the device did");
    } else {
        Fuzz::Check(
            !twin.devicePropertyError && (!identity.BusType() || twin.busType == *identity.BusType()) &&
                twin.vendor == OnOneLine(identity.Raw(DriveIdentity::Text::Vendor)) &&
                twin.product == OnOneLine(identity.Raw(DriveIdentity::Text::Product)) &&
                twin.productRevision == OnOneLine(identity.Raw(DriveIdentity::Text::ProductRevision)) &&
                twin.serialNumber == OnOneLine(identity.Raw(DriveIdentity::Text::SerialNumber)),
            "the twin's identity strings are the device's, untrimmed");
    }
    if (inventory.adapterDescriptorFailure) {
        Fuzz::Check(twin.adapterPropertyError == inventory.adapterDescriptorFailure->code,
                    "the twin fails the adapter descriptor as the device did");
    } else if (identity.MaximumTransferLength()) {
        Fuzz::Check(twin.maxTransferLength == *identity.MaximumTransferLength(),
                    "the twin's adapter takes the device's transfer length");
    }
    if (inventory.firmwareInfoFailure) {
        Fuzz::Check(twin.infoError == inventory.firmwareInfoFailure->code,
                    "the twin fails the information query as the device did");
        return;
    }
    const STORAGE_HW_FIRMWARE_INFO info = InfoOf(inventory.firmwareInfo);
    const auto slots = ReportFields::Slots(inventory.firmwareInfo);
    Fuzz::Check(!twin.infoError && twin.supportUpgrade == info.SupportUpgrade &&
                    twin.activeSlot == info.ActiveSlot && twin.pendingSlot == info.PendingActivateSlot &&
                    twin.firmwareShared == info.FirmwareShared &&
                    twin.alignment == info.ImagePayloadAlignment &&
                    twin.maxPayload == info.ImagePayloadMaxSize && twin.slots.size() == slots.size(),
                "the twin's firmware information is the device's");
    for (std::size_t i = 0; i < slots.size(); ++i) {
        Fuzz::Check(
            twin.slots[i].number == slots[i].SlotNumber && twin.slots[i].readOnly == slots[i].ReadOnly &&
                std::equal(twin.slots[i].revision.begin(), twin.slots[i].revision.end(), slots[i].Revision),
            "the twin's slots are the device's, reserved bits and revision included");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const DeviceInventory inventory = Fuzz::GeneratedInventory(input);
    const std::string text = TwinDescription(inventory);
    try {
        CheckTwin(inventory, DeviceDescription::Parse(text));
    } catch (const DescriptionError& error) {
        std::fprintf(stderr, "line %zu: %s\n%s", error.Line(), error.what(), text.c_str());
        Fuzz::Check(false, "a twin is a description that the simulated machine takes");
    }
    return 0;
}
