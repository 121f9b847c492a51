// The manifest that the probe drafts from a pilot machine, read back by the deployment program once the
// version that the image installs is written in: it must be taken and name the probed disk.
#include "probe/manifest_draft.h"
#include "cli/hex.h"
#include "cli/sha256.h"
#include "cli/utf8.h"
#include "deploy/package_manifest.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/generated_inventory.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const DeviceInventory inventory = Fuzz::GeneratedInventory(input);
    const std::vector<std::uint8_t> image =
        input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 256));
    std::wstring package = L"D:\\images\\fw.ffu";
    if (input.remaining_bytes() > 0) {
        package.clear();
        while (input.remaining_bytes() > 1) {
            package += static_cast<wchar_t>(input.ConsumeIntegral<std::uint16_t>());
        }
    }
    const auto draft = ManifestDraft(inventory, package, image);
    Fuzz::Check(draft.has_value() == (!inventory.openFailure && !inventory.extCsd.empty() &&
                                      !inventory.deviceDescriptorFailure && inventory.identity.BusType()),
                "a drive that gave its identity and EXT_CSD is drafted");
    if (!draft) {
        return 0;
    }
    // The operator writes in the version that the image installs: here one that the drive does not run.
    const std::string placeholder =
        "the 16 hexadecimal digits of the FIRMWARE_VERSION that the image installs";
    std::string text = *draft;
    const std::size_t at = text.find(placeholder);
    Fuzz::Check(at != std::string::npos, "the draft holds the placeholder of the version");
    std::array<std::uint8_t, 8> target{};
    std::copy_n(inventory.extCsd.begin() + ExtCsd::FIRMWARE_VERSION, target.size(), target.begin());
    target[0] ^= 0xFF;
    text.replace(at, placeholder.size(), Hex::Text(target.data(), target.size()));

    const std::wstring path = L"C:\\rollout\\m.json";
    try {
        const PackageManifest manifest = PackageManifest::Parse(text, path);
        const DriveIdentity& identity = inventory.identity;
        const DiskIdentity disk{identity.BusType(), identity.Trimmed(DriveIdentity::Text::Vendor),
                                identity.Trimmed(DriveIdentity::Text::Product),
                                identity.Trimmed(DriveIdentity::Text::ProductRevision)};
        PackageManifest::FirmwareVersion running{};
        std::copy_n(inventory.extCsd.begin() + ExtCsd::FIRMWARE_VERSION, running.size(), running.begin());
        Sha256 hash;
        hash.Update(image.data(), image.size());
        Fuzz::Check(manifest.Names(disk, inventory.extCsd) == PackageManifest::Naming::Yes &&
                        manifest.MayReplace(running) && manifest.ImageLength() == image.size() &&
                        manifest.ImageSha256() == hash.Finish(),
                    "the completed draft names the probed disk, its running version and the image");
    } catch (const PackageManifest::Refused& refused) {
        const std::string reason = refused.what();
        const std::string prefix = "C:\\rollout\\m.json: ";
        // What the probe cannot mend: a file name that Windows would not open as that file, an empty image,
        // and a bus type beyond STORAGE_BUS_TYPE, which Windows never reports.
        const bool expected =
            reason.rfind(prefix + "/image/file: ", 0) == 0 ||
            (image.empty() && reason.rfind(prefix + "/image/length: ", 0) == 0) ||
            (*inventory.identity.BusType() > 0x7F && reason.rfind(prefix + "/devices/0/bus_type: ", 0) == 0);
        if (!expected) {
            std::fprintf(stderr, "%s\n%s", reason.c_str(), text.c_str());
        }
        Fuzz::Check(expected, "a completed draft is refused only for what the probe cannot mend");
    }
    return 0;
}
