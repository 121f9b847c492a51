#include "probe/twin_description.h"

#include "cli/hex.h"
#include "probe/report_fields.h"

using namespace StorageFirmware;

namespace {

std::string HexNumber(std::uint32_t code) {
    return ReportFields::HexNumber(code, 8);
}

std::string Slots(const std::vector<std::uint8_t>& reply) {
    std::string slots;
    for (const STORAGE_HW_FIRMWARE_SLOT_INFO& slot : ReportFields::Slots(reply)) {
        slots += slots.empty() ? " " : ", ";
        slots += std::to_string(slot.SlotNumber);
        // The whole byte, reserved bits included, so that the twin answers exactly as the device did.
        if (slot.ReadOnly == SLOT_READ_ONLY) {
            slots += " ro";
        } else if (slot.ReadOnly != 0) {
            slots += " ro:" + ReportFields::HexNumber(slot.ReadOnly, 2);
        }
        slots += " rev:" + Hex::Text(slot.Revision, sizeof(slot.Revision));
    }
    return slots;
}

// A text in double quotes, taken verbatim between them. A line feed cannot stand in a description line: it
// becomes "?".
std::string Quoted(std::string text) {
    for (char& character : text) {
        if (character == '\n') {
            character = '?';
        }
    }
    return "\"" + text + "\"";
}

// The descriptors' strings as the device holds them, before any trimming, so that the twin answers with the
// same bytes; a string that the device does not give stays out, and so is none in the twin too.
std::string Identity(const DeviceInventory& inventory) {
    const DriveIdentity& identity = inventory.identity;
    std::string text;
    if (inventory.deviceDescriptorFailure) {
        text += "device_property_error = " + HexNumber(inventory.deviceDescriptorFailure->code) + "\n";
    } else {
        if (const auto busType = identity.BusType()) {
            text += "bus_type = " + std::to_string(*busType) + "\n";
        }
        for (const ReportFields::IdentityText& field : ReportFields::IDENTITY_TEXTS) {
            if (const auto& value = identity.Raw(field.text)) {
                text += std::string(field.key) + " = " + Quoted(*value) + "\n";
            }
        }
    }
    if (inventory.adapterDescriptorFailure) {
        text += "adapter_property_error = " + HexNumber(inventory.adapterDescriptorFailure->code) + "\n";
    } else if (const auto length = identity.MaximumTransferLength()) {
        text += "max_transfer_length = " + std::to_string(*length) + "\n";
    }
    return text;
}

} // namespace

std::string TwinDescription(const DeviceInventory& inventory) {
    std::string text = "# The twin of a device as quillon-probe found it.\n";
    const wchar_t drive = inventory.drivePath.back();
    // A drive character that is no ASCII digit names no disk; the built-in drive 0 refuses it too.
    if (drive >= L'0' && drive <= L'9') {
        text += "drive = " + std::string(1, static_cast<char>(drive)) + "\n";
    }
    if (inventory.openFailure) {
        return text + "open_error = " + HexNumber(inventory.openFailure->code) + "\n";
    }
    if (inventory.extCsdFailure) {
        text += "ext_csd_error = " + HexNumber(inventory.extCsdFailure->code) + "\n";
    } else {
        text += "ext_csd = " + Hex::Text(inventory.extCsd.data(), inventory.extCsd.size()) + "\n";
    }
    text += Identity(inventory);
    if (inventory.firmwareInfoFailure) {
        return text + "info_error = " + HexNumber(inventory.firmwareInfoFailure->code) + "\n";
    }
    const STORAGE_HW_FIRMWARE_INFO info = StorageFirmware::InfoOf(inventory.firmwareInfo);
    text += "support_upgrade = " + std::to_string(info.SupportUpgrade) + "\n";
    text += "slots =" + Slots(inventory.firmwareInfo) + "\n";
    text += "active_slot = " + std::to_string(info.ActiveSlot) + "\n";
    text += "pending_slot = " + std::to_string(info.PendingActivateSlot) + "\n";
    text += "firmware_shared = " + std::to_string(info.FirmwareShared) + "\n";
    text += "alignment = " + std::to_string(info.ImagePayloadAlignment) + "\n";
    text += "max_payload = " + std::to_string(info.ImagePayloadMaxSize) + "\n";
    return text;
}
