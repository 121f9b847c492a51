// The EXT_CSD register as the device returns it: the eligibility of an update, and the fields that the probe
// reports and a manifest's device entries match.
#include "device/ext_csd.h"
#include "device/update_rules.h"
#include "fuzz/fuzz_check.h"
#include "probe/report_fields.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The driver fills a buffer of 512 zero bytes as far as it goes.
    std::vector<std::uint8_t> extCsd(ExtCsd::SIZE);
    std::copy_n(data, std::min(size, extCsd.size()), extCsd.begin());

    // The rules of JESD84-B50, read bit by bit: the revision first, then the FFU mode, then Update_Disable.
    const wchar_t* expected = nullptr;
    if (extCsd[ExtCsd::EXT_CSD_REV] < ExtCsd::EXT_CSD_REV_EMMC_5_0) {
        expected = L"eMMC::CanUpdateFirmware - cannot update (eMMC version < 5.0)\n";
    } else if ((extCsd[ExtCsd::SUPPORTED_MODES] & ExtCsd::SUPPORTED_MODES_FFU) == 0) {
        expected = L"eMMC::CanUpdateFirmware - cannot update (unsupported eMMC mode)\n";
    } else if ((extCsd[ExtCsd::FW_CONFIG] & ExtCsd::FW_CONFIG_UPDATE_DISABLE) != 0) {
        expected = L"eMMC::CanUpdateFirmware - cannot update (FFU disabled)\n";
    }
    const wchar_t* refusal = UpdateRules::EligibilityRefusal(extCsd);
    Fuzz::Check((refusal == nullptr) == (expected == nullptr) &&
                    (refusal == nullptr || std::wstring(refusal) == expected),
                "the eligibility follows the register's three fields");

    const std::uint8_t* version = extCsd.data() + ExtCsd::FIRMWARE_VERSION;
    const auto text = ReportFields::PrintableText(version, ExtCsd::FIRMWARE_VERSION_LENGTH);
    const auto number = ReportFields::FirmwareVersionNumber(version);
    Fuzz::Check(text.has_value() != number.has_value(), "a firmware version is either text or a number");
    if (text) {
        Fuzz::Check(!text->empty() && text->size() <= ExtCsd::FIRMWARE_VERSION_LENGTH &&
                        std::equal(text->begin(), text->end(), version),
                    "the version's text is its leading bytes");
    }
    Fuzz::Check(ReportFields::Number(extCsd, ExtCsd::DEVICE_VERSION, ExtCsd::DEVICE_VERSION_LENGTH) ==
                    static_cast<std::uint32_t>(extCsd[ExtCsd::DEVICE_VERSION] |
                                               extCsd[ExtCsd::DEVICE_VERSION + 1] << 8),
                "DEVICE_VERSION is little-endian");
    Fuzz::Check(!ReportFields::EmmcVersion(extCsd[ExtCsd::EXT_CSD_REV]).empty() &&
                    !ReportFields::PreEolMeaning(extCsd[ExtCsd::PRE_EOL_INFO]).empty() &&
                    !ReportFields::LifeTimeMeaning(extCsd[ExtCsd::DEVICE_LIFE_TIME_EST_TYP_A]).empty(),
                "every field value has a meaning");
    return 0;
}
