#include "deploy/package_manifest.h"
#include "device/ext_csd.h"

#ifdef _WIN32
#include "tests/support/files.h"
#include "tests/support/text_conversion.h"
#endif

#include <gtest/gtest.h>

namespace {

const std::wstring PATH = L"C:\\rollout (x86)\\m.json";

// Two device entries: a part told apart by its EXT_CSD DEVICE_VERSION and without a vendor string, and a
// part whose product name holds a byte above 127 (0xE9, as the probe writes it: U+00E9).
const std::string IMAGE = R"("image": {"file": "fw 0502 (x86).ffu", "length": 524288,
            "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},)";
const std::string DEVICES = R"("devices": [
    {"bus_type": 13, "vendor": null, "product": "DF4064", "ext_csd": {"device_version": 258}},
    {"bus_type": 13, "vendor": "Sample", "product": "Q\u00e9 64", "product_revision": "1.0"}
  ],)";
const std::string MANIFEST = R"({
  "schema_version": 1,
  "package_id": "contoso-emmc_05.02",
  "description": "Contoso eMMC firmware 05.02",
  )" + IMAGE + R"(
  "firmware_version": "3035303200000000",
  "replaces": ["3035303100000000", "3035303000000000"],
  )" + DEVICES + R"(
  "minimum_battery_percent": 30
})";

struct Row {
    const char* name;
    // The manifest is MANIFEST with `from` replaced by `to` (once; an empty `from` replaces it whole).
    std::string from;
    std::string to;
    // The refusal's text after "<file>: ", or empty for a manifest that is read.
    std::string refusal;
};

const std::string KNOWN_TOP =
    "schema_version, package_id, description, image, firmware_version, replaces, devices, "
    "minimum_battery_percent";
const std::string RANGE_LENGTH = "expected an integer from 1 to 2147483647, found ";
const std::string NOT_PLAIN = "not a plain file name: the image lies in the manifest's own folder";
const std::string ID_CHARACTERS =
    "only letters A to Z and a to z, digits, '.', '-' and '_' may form a package id, "
    "beginning and ending with a letter or digit";

const Row ROWS[] = {
    {"as written", "", "", ""},
    {"without a battery charge", "],\n  \"minimum_battery_percent\": 30", "]", ""},
    {"without a description", R"("description": "Contoso eMMC firmware 05.02",)", "", ""},
    {"without a vendor", R"("vendor": null, )", "", ""},
    {"upper-case hex digits", "3035303100000000", "3035303100ABCDEF", ""},

    {"not JSON", R"("schema_version": 1,)", R"("schema_version": 1,,)",
     "(top level): not JSON: parse error at line 2, column 23: syntax error while parsing object key - "
     "unexpected ','; expected string literal"},
    {"not an object", "", "[]", "(top level): expected an object, found an array"},
    {"a key twice", R"("length": 524288,)", R"("length": 524288, "length": 1,)",
     "/image/length: the key comes twice in its object"},
    {"a key twice in an array's object", R"("product_revision": "1.0")",
     R"("product_revision": "1.0", "vendor": "X")", "/devices/1/vendor: the key comes twice in its object"},
    {"no schema version", R"("schema_version": 1,)", "", "/schema_version: missing"},
    {"another schema version", R"("schema_version": 1,)", R"("schema_version": 2, "future": 1,)",
     "/schema_version: schema version 2 is not one this program reads; it reads 1"},
    {"schema version as text", R"("schema_version": 1,)", R"("schema_version": "1",)",
     "/schema_version: expected an integer, found a string"},
    {"unknown key", R"("description")", R"("comment")",
     "/comment: unknown key (known here: " + KNOWN_TOP + ")"},
    {"unknown key, escaped in the pointer", R"("product_revision")", R"("product/rev~ision")",
     "/devices/1/product~1rev~0ision: unknown key (known here: bus_type, vendor, product, product_revision, "
     "ext_csd)"},
    {"unknown key with a NUL, quoted in the pointer", R"("description")", R"("desc\u0000ri\nption")",
     "/\"desc\\u0000ri\\nption\": unknown key (known here: " + KNOWN_TOP + ")"},
    {"package id missing", R"("package_id": "contoso-emmc_05.02",)", "", "/package_id: missing"},
    {"package id empty", R"("contoso-emmc_05.02")", R"("")",
     "/package_id: expected 1 to 64 characters, found 0"},
    {"package id too long", R"("contoso-emmc_05.02")", "\"" + std::string(65, 'a') + "\"",
     "/package_id: expected 1 to 64 characters, found 65"},
    {"package id with a backslash", R"("contoso-emmc_05.02")", R"("contoso\\emmc")",
     "/package_id: " + ID_CHARACTERS},
    {"package id with a blank", R"("contoso-emmc_05.02")", R"("contoso emmc")",
     "/package_id: " + ID_CHARACTERS},
    {"package id ending in a dot", R"("contoso-emmc_05.02")", R"("contoso.")",
     "/package_id: " + ID_CHARACTERS},
    {"image missing", IMAGE, "", "/image: missing"},
    {"image a string", IMAGE, R"("image": "fw.ffu",)", "/image: expected an object, found a string"},
    {"image file up a folder", R"("fw 0502 (x86).ffu")", R"("..\\fw.ffu")", "/image/file: " + NOT_PLAIN},
    {"image file in a sub-folder", R"("fw 0502 (x86).ffu")", R"("sub/fw.ffu")", "/image/file: " + NOT_PLAIN},
    {"image file a stream", R"("fw 0502 (x86).ffu")", R"("fw.ffu:hidden")", "/image/file: " + NOT_PLAIN},
    {"image file a drive path", R"("fw 0502 (x86).ffu")", R"("C:fw.ffu")", "/image/file: " + NOT_PLAIN},
    {"image file the folder", R"("fw 0502 (x86).ffu")", R"("..")", "/image/file: " + NOT_PLAIN},
    {"image file empty", R"("fw 0502 (x86).ffu")", R"("")",
     "/image/file: expected a file name of 1 to 255 characters"},
    {"image file with a wildcard", R"("fw 0502 (x86).ffu")", R"("fw?.ffu")",
     "/image/file: holds a character that Windows file names cannot hold"},
    {"image file ending in a dot", R"("fw 0502 (x86).ffu")", R"("fw.ffu.")",
     "/image/file: ends with a dot or a blank, which Windows drops from a file name"},
    {"image file ending in a blank", R"("fw 0502 (x86).ffu")", R"("fw.ffu ")",
     "/image/file: ends with a dot or a blank, which Windows drops from a file name"},
    {"image file a device", R"("fw 0502 (x86).ffu")", R"("com1 .ffu")",
     "/image/file: a device name of Windows, not a file"},
    {"image file a number", R"("fw 0502 (x86).ffu")", "5",
     "/image/file: expected a string, found an integer"},
    {"image length 0", "524288", "0", "/image/length: " + RANGE_LENGTH + "0"},
    {"image length negative", "524288", "-1", "/image/length: " + RANGE_LENGTH + "-1"},
    {"image length beyond the tool", "524288", "2147483648", "/image/length: " + RANGE_LENGTH + "2147483648"},
    {"image length with a fraction", "524288", "5.5e5",
     "/image/length: expected an integer, found a number with a fraction or an exponent"},
    {"image length beyond any number", "524288", "1e400",
     "/image/length: a number too large to read (number overflow parsing '1e400')"},
    {"image length of 401 digits", "524288", "1" + std::string(400, '0'),
     "/image/length: a number too large to read (number overflow parsing '1" + std::string(400, '0') + "')"},
    {"image length missing", R"("length": 524288,)", "", "/image/length: missing"},
    {"image unknown key", R"("length")", R"("size")",
     "/image/size: unknown key (known here: file, length, sha256)"},
    {"hash one digit short", "ba7816bf8f", "ba7816bf8",
     "/image/sha256: expected 64 hexadecimal digits, found 63 characters"},
    {"hash not hexadecimal", "ba7816bf8f", "ba7816bf8g",
     "/image/sha256: character 10 is not a hexadecimal digit"},
    {"version as a number", R"("3035303200000000")", "3035303200000000",
     "/firmware_version: expected a string, found an integer"},
    {"version one byte short", R"("3035303200000000")", R"("30353032000000")",
     "/firmware_version: expected 16 hexadecimal digits, found 14 characters"},
    {"replaces empty", R"(["3035303100000000", "3035303000000000"])", "[]",
     "/replaces: empty: a package that may replace no version never installs"},
    {"replaces one version as text", R"(["3035303100000000", "3035303000000000"])", R"("3035303100000000")",
     "/replaces: expected an array, found a string"},
    {"replaces a version twice", R"("3035303000000000"])", R"("3035303000000000", "3035303100000000"])",
     "/replaces/2: the same version as /replaces/0"},
    {"replaces the target", R"("3035303000000000"])", R"("3035303200000000"])",
     "/replaces/1: the version that the image installs: a device that runs it is already current"},
    {"devices empty", DEVICES, R"("devices": [],)", "/devices: empty: the manifest names no device"},
    {"device without a product", R"("product": "DF4064", )", "", "/devices/0/product: missing"},
    {"device without a bus type", R"({"bus_type": 13, "vendor": "Sample")", R"({"vendor": "Sample")",
     "/devices/1/bus_type: missing"},
    {"device bus type out of range", R"({"bus_type": 13, "vendor": "Sample")",
     R"({"bus_type": 128, "vendor": "Sample")",
     "/devices/1/bus_type: expected an integer from 0 to 127, found 128"},
    {"device vendor a number", R"("vendor": null)", R"("vendor": 0)",
     "/devices/0/vendor: expected a string, found an integer"},
    {"device product with a blank at its end", R"("DF4064")", R"("DF4064 ")",
     "/devices/0/product: begins or ends with a blank, which a disk's identity never does once trimmed"},
    {"device product beyond a byte", R"("Q\u00e9 64")", R"("Q\u0100 64")",
     "/devices/1/product: holds a character that no identity byte gives (U+0000, or above U+00FF)"},
    {"device EXT_CSD empty", R"({"device_version": 258})", "{}",
     "/devices/0/ext_csd: empty: name an EXT_CSD field, or leave ext_csd out"},
    {"device EXT_CSD value beyond its field", R"({"device_version": 258})", R"({"device_version": 65536})",
     "/devices/0/ext_csd/device_version: expected an integer from 0 to 65535, found 65536"},
    {"device EXT_CSD unknown field", R"({"device_version": 258})", R"({"ffu_status": 0})",
     "/devices/0/ext_csd/ffu_status: unknown key (known here: device_version, ext_csd_rev)"},
    {"device entry a string", DEVICES, R"("devices": ["DF4064"],)",
     "/devices/0: expected an object, found a string"},
    {"battery above 100", R"("minimum_battery_percent": 30)", R"("minimum_battery_percent": 101)",
     "/minimum_battery_percent: expected an integer from 0 to 100, found 101"},
    {"battery as text", R"("minimum_battery_percent": 30)", R"("minimum_battery_percent": "30")",
     "/minimum_battery_percent: expected an integer, found a string"},
};

std::string Edited(const Row& row) {
    if (row.from.empty()) {
        return row.to.empty() ? MANIFEST : row.to;
    }
    const std::size_t at = MANIFEST.find(row.from);
    EXPECT_NE(at, std::string::npos);
    EXPECT_EQ(MANIFEST.find(row.from, at + 1), std::string::npos) << "the edit is ambiguous";
    return std::string(MANIFEST).replace(at, row.from.size(), row.to);
}

TEST(PackageManifest, ReadsValidManifestsAndRefusesEachFaultWithItsPlaceAndReason) {
    for (const Row& row : ROWS) {
        SCOPED_TRACE(row.name);
        const std::string text = Edited(row);
        try {
            const PackageManifest manifest = PackageManifest::Parse(text, PATH);
            EXPECT_EQ(row.refusal, "") << "read";
        } catch (const PackageManifest::Refused& refused) {
            EXPECT_EQ(refused.what(), "C:\\rollout (x86)\\m.json: " + row.refusal);
        }
    }
}

PackageManifest::FirmwareVersion Version(const char* text) {
    PackageManifest::FirmwareVersion version{};
    std::copy_n(text, version.size(), version.begin());
    return version;
}

TEST(PackageManifest, GivesWhatTheManifestSays) {
    const PackageManifest manifest = PackageManifest::Parse(MANIFEST, PATH);
    EXPECT_EQ(manifest.PackageId(), "contoso-emmc_05.02");
    EXPECT_EQ(manifest.ImagePath(), L"C:\\rollout (x86)\\fw 0502 (x86).ffu");
    EXPECT_EQ(manifest.ImageLength(), 524288U);
    EXPECT_EQ(Sha256::Hex(manifest.ImageSha256()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(manifest.TargetVersion(), Version("0502\0\0\0\0"));
    EXPECT_EQ(manifest.MinimumBatteryPercent(), 30U);
    // Versions are bytes: a trailing byte or a text that reads as the same number is another version.
    EXPECT_TRUE(manifest.MayReplace(Version("0501\0\0\0\0")));
    EXPECT_TRUE(manifest.MayReplace(Version("0500\0\0\0\0")));
    EXPECT_FALSE(manifest.MayReplace(Version("0501\0\0\0\x01")));
    EXPECT_FALSE(manifest.MayReplace(Version("501\0\0\0\0\0")));
    EXPECT_FALSE(manifest.MayReplace(Version("0502\0\0\0\0")));

    const std::string battery = "],\n  \"minimum_battery_percent\": 30";
    const std::string unset = std::string(MANIFEST).replace(MANIFEST.find(battery), battery.size(), "]");
    EXPECT_EQ(PackageManifest::Parse(unset, L"m.json").MinimumBatteryPercent(),
              PackageManifest::DEFAULT_MINIMUM_BATTERY_PERCENT);
    EXPECT_EQ(PackageManifest::Parse(unset, L"m.json").ImagePath(), L"fw 0502 (x86).ffu");
}

TEST(PackageManifest, NamesTheDisksOfItsDeviceEntriesOnly) {
    const PackageManifest manifest = PackageManifest::Parse(MANIFEST, PATH);
    std::vector<std::uint8_t> version258(ExtCsd::SIZE);
    version258[ExtCsd::DEVICE_VERSION] = 0x02;
    version258[ExtCsd::DEVICE_VERSION + 1] = 0x01;
    std::vector<std::uint8_t> version513 = version258;
    std::swap(version513[ExtCsd::DEVICE_VERSION], version513[ExtCsd::DEVICE_VERSION + 1]);
    const std::vector<std::uint8_t> unread;
    const std::string accented = "Q\xE9 64";

    using Naming = PackageManifest::Naming;
    const struct {
        const char* name;
        DiskIdentity identity;
        const std::vector<std::uint8_t>& extCsd;
        Naming named;
    } cases[] = {
        {"first entry", {13, std::nullopt, "DF4064", "anything"}, version258, Naming::Yes},
        {"first entry, other device version",
         {13, std::nullopt, "DF4064", "anything"},
         version513,
         Naming::No},
        {"first entry, EXT_CSD not read", {13, std::nullopt, "DF4064", "anything"}, unread, Naming::Unknown},
        {"first entry, with a vendor", {13, "Sample", "DF4064", "anything"}, version258, Naming::No},
        {"first entry, an SD card", {12, std::nullopt, "DF4064", "anything"}, version258, Naming::No},
        {"first entry, product differs in case",
         {13, std::nullopt, "df4064", "anything"},
         version258,
         Naming::No},
        {"second entry", {13, "Sample", accented, "1.0"}, unread, Naming::Yes},
        {"second entry, other revision", {13, "Sample", accented, "1.1"}, version258, Naming::No},
        {"second entry, no revision", {13, "Sample", accented, std::nullopt}, version258, Naming::No},
        {"second entry, vendor differs in case", {13, "sample", accented, "1.0"}, unread, Naming::No},
        {"second entry, product in UTF-8", {13, "Sample", "Q\xC3\xA9 64", "1.0"}, unread, Naming::No},
        {"descriptor not read",
         {std::nullopt, std::nullopt, std::nullopt, std::nullopt},
         version258,
         Naming::No},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(manifest.Names(row.identity, row.extCsd), row.named);
    }
}

#ifdef _WIN32
TEST(PackageManifest, ReadsTheFileItNames) {
    const TestSupport::TempDirectory directory;
    const std::wstring path = directory / L"m.json";
    TestSupport::WriteBytes(path, MANIFEST);
    EXPECT_EQ(PackageManifest::Read(path).ImagePath(), directory / L"fw 0502 (x86).ffu");

    const std::pair<std::wstring, std::string> refusals[] = {
        {directory / L"missing.json", ": (top level): cannot be opened (Windows error 2)"},
        {directory.Path(), ": (top level): cannot be opened (Windows error 5)"},
    };
    for (const auto& [refusedPath, reason] : refusals) {
        SCOPED_TRACE(TestSupport::Narrow(refusedPath));
        try {
            PackageManifest::Read(refusedPath);
            ADD_FAILURE() << "read";
        } catch (const PackageManifest::Refused& refused) {
            EXPECT_EQ(refused.what(), TestSupport::Utf8(refusedPath) + reason);
        }
    }
}
#endif

} // namespace
