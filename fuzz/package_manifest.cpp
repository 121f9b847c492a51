// The deployment program's package manifest: read whole, or refused in one line that names the file, the
// place and the reason.
#include "deploy/package_manifest.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::wstring path = L"C:\\rollout\\m.json";
    try {
        const PackageManifest manifest = PackageManifest::Parse(text, path);
        Fuzz::Check(manifest.Text() == text && PackageManifest::IsPackageId(manifest.PackageId()) &&
                        manifest.ImageLength() >= 1 &&
                        manifest.ImageLength() <= PackageManifest::MAXIMUM_IMAGE_LENGTH &&
                        manifest.ImagePath().rfind(L"C:\\rollout\\", 0) == 0 &&
                        manifest.MinimumBatteryPercent() <= 100 &&
                        !manifest.MayReplace(manifest.TargetVersion()),
                    "a manifest read is one that the format allows");
    } catch (const PackageManifest::Refused& refused) {
        const std::string line = refused.what();
        Fuzz::Check(line.find('\n') == std::string::npos && line.find('\r') == std::string::npos &&
                        line.rfind("C:\\rollout\\m.json: ", 0) == 0 &&
                        line.find(": ", std::strlen("C:\\rollout\\m.json: ")) != std::string::npos,
                    "a refusal is one whole line: the file, the place and the reason");
    }
    return 0;
}
