#include "cli/trusted_principals.h"
#include "deploy/deploy_record.h"

#ifdef _WIN32
#include "deploy/protected_folder.h"
#include "tests/support/files.h"
#include "tests/support/text_conversion.h"
#include "win32/local_ptr.h"
#endif

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <sddl.h>

using TestSupport::ReadBytes;
using TestSupport::TempDirectory;
using TestSupport::Utf8;
#endif

namespace {

DeployRecord FullRecord() {
    DeployRecord record;
    record.outcome = "updated, restart needed";
    record.exitCode = 3010;
    record.time = "2026-12-08T09:30:05Z";
    record.machine = "PC-0042";
    record.packageId = "contoso-emmc-0502";
    for (std::size_t i = 0; i < record.imageSha256.size(); ++i) {
        record.imageSha256[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    record.drive = 1;
    record.identity = DiskIdentity{13, std::nullopt, "Q\xE9 64", ""};
    record.versionBefore = DeployRecord::FirmwareVersion{'0', '5', '0', '1', 0, 0, 0, 0};
    record.targetVersion = DeployRecord::FirmwareVersion{'0', '5', '0', '2', 0, 0, 0, 0xFF};
    record.bootIdentity = "boot 7";
    record.toolExitCode = 0;
    record.toolClosingLine = "Firmware update succeeded. \"Restart\" the system.";
    record.pendingSlot = 1;
    record.ffuStatus = 0;
    record.sectorsProgrammed = 137;
    record.versionAfterRestart = DeployRecord::FirmwareVersion{'0', '5', '0', '1', 0, 0, 0, 0};
    return record;
}

// The format as docs/deployment.md gives it, key for key.
const std::string FULL_RECORD_JSON = R"({
  "record_version": 1,
  "outcome": "updated, restart needed",
  "exit_code": 3010,
  "time": "2026-12-08T09:30:05Z",
  "machine": "PC-0042",
  "package_id": "contoso-emmc-0502",
  "image_sha256": "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf",
  "drive": 1,
  "identity": {
    "bus_type": 13,
    "vendor": null,
    "product": "Q\u00e9 64",
    "product_revision": ""
  },
  "version_before": "3035303100000000",
  "target_version": "30353032000000ff",
  "boot_identity": "boot 7",
  "tool_exit_code": 0,
  "tool_closing_line": "Firmware update succeeded. \"Restart\" the system.",
  "pending_slot": 1,
  "ffu_status": 0,
  "sectors_programmed": 137,
  "version_after_restart": "3035303100000000"
}
)";

void ExpectSame(const DeployRecord& read, const DeployRecord& written) {
    EXPECT_EQ(read.ToJson(), written.ToJson());
    EXPECT_EQ(read.identity.has_value(), written.identity.has_value());
    if (read.identity && written.identity) {
        EXPECT_EQ(read.identity->vendor, written.identity->vendor);
        EXPECT_EQ(read.identity->product, written.identity->product);
        EXPECT_EQ(read.identity->productRevision, written.identity->productRevision);
    }
}

TEST(DeployRecord, WritesItsKeysAndReadsBackWhatItWrote) {
    const DeployRecord full = FullRecord();
    // nlohmann-json writes U+00E9 as its UTF-8 bytes; the expected text spells it as an escape.
    std::string expected = FULL_RECORD_JSON;
    expected.replace(expected.find("\\u00e9"), 6, "\xC3\xA9");
    EXPECT_EQ(full.ToJson(), expected);

    DeployRecord underWay;
    underWay.outcome = "attempt under way";
    underWay.time = "2026-12-08T09:30:04Z";
    underWay.packageId = "p";
    for (const DeployRecord& record : {full, underWay}) {
        SCOPED_TRACE(record.outcome);
        const auto read = DeployRecord::FromJson(record.ToJson());
        ASSERT_TRUE(read.has_value());
        ExpectSame(*read, record);
    }

    const auto edited = [&](const std::string& from, const std::string& to) {
        std::string text = FULL_RECORD_JSON;
        return text.replace(text.find(from), from.size(), to);
    };
    const std::pair<const char*, std::string> unreadable[] = {
        {"not JSON", "{"},
        {"another record version", edited(R"("record_version": 1)", R"("record_version": 2)")},
        {"a key missing", edited(R"("ffu_status": 0,)", "")},
        {"a hash cut short", edited("bebf\"", "be\"")},
        {"a version not hexadecimal", edited("30353032000000ff", "30353032000000fg")},
        {"an identity text beyond a byte", edited("Q\\u00e9 64", "Q\\u0100 64")},
        {"a number as text", edited(R"("drive": 1)", R"("drive": "1")")},
        {"a fraction", edited(R"("drive": 1)", R"("drive": 1.5)")},
        {"a number beyond its field", edited(R"("ffu_status": 0)", R"("ffu_status": 256)")},
        {"a negative number of a field without sign", edited(R"("drive": 1)", R"("drive": -1)")},
        {"a number beyond any integer", edited(R"("exit_code": 3010)", R"("exit_code": 3e111)")},
    };
    for (const auto& [name, text] : unreadable) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(DeployRecord::FromJson(text).has_value());
    }
}

#ifdef _WIN32
SYSTEMTIME Utc(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME time{};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    return time;
}

TEST(DeployRecord, NamesFilesByMachinePackageAndUtcTime) {
    const struct {
        std::wstring machine;
        SYSTEMTIME utc;
        std::string iso;
        std::wstring stem;
    } cases[] = {
        {L"PC-0042", Utc(2026, 12, 8, 9, 30, 5), "2026-12-08T09:30:05Z", L"PC-0042_fw-1.2_20261208T093005Z"},
        {L"LAB PC.corp\\x:y\u00e9", Utc(2027, 1, 31, 23, 59, 59), "2027-01-31T23:59:59Z",
         L"LAB_PC_corp_x_y__fw-1.2_20270131T235959Z"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(Utf8(row.machine));
        EXPECT_EQ(DeployRecord::IsoTime(row.utc), row.iso);
        EXPECT_EQ(DeployRecord::FileStem(row.machine, "fw-1.2", row.utc), row.stem);
    }
}

// The SID of the user this test runs as: under Wine it owns every file and folder.
std::wstring OwnUser() {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    const Win32::UniqueHandle held(token);
    std::vector<std::uint8_t> buffer(512);
    DWORD length = 0;
    EXPECT_TRUE(
        GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &length));
    wchar_t* text = nullptr;
    EXPECT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text));
    const Win32::LocalPtr<wchar_t> heldText(text);
    return text;
}

void MakeFolder(const std::wstring& path, const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    const Win32::LocalPtr<void> held(descriptor);
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor, FALSE};
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), &security));
}

std::string Refusal(const std::wstring& path, const std::vector<std::wstring>& trusted,
                    const std::wstring& keptRoot = std::wstring()) {
    try {
        ProtectedFolder::Open(path, trusted, keptRoot);
    } catch (const ProtectedFolder::Refused& refused) {
        return refused.what();
    }
    return "used";
}

TEST(ProtectedFolder, CreatesWhatIsMissingAndRefusesFoldersThatOthersControl) {
    const TempDirectory directory;
    const std::wstring user = OwnUser();
    std::vector<std::wstring> withUser = TrustedPrincipals::Default();
    withUser.push_back(user);

    const std::wstring created = directory / L"ProgramData\\Quillon\\Logs";
    EXPECT_EQ(ProtectedFolder::Open(created + L"\\", withUser).Path(), created);
    // Made by this program, the folder is used again by those it trusts; under Wine the user owns it.
    EXPECT_EQ(ProtectedFolder::Open(created, withUser, directory / L"ProgramData\\Quillon").Path(), created);

    const std::string prefix = Utf8(directory.Path()) + "\\";
    const std::string openRefusal = prefix + "open: lets S-1-1-0 write to it, or to what is created in it";
    MakeFolder(directory / L"open", L"D:P(A;OICI;FA;;;WD)");
    if (Refusal(directory / L"open", withUser) != openRefusal) {
        ASSERT_TRUE(TestSupport::LetEveryoneWrite(directory / L"open"));
    }
    MakeFolder(directory / L"real", L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;" + user + L")");
    TestSupport::WriteBytes(directory / L"a file", "");
    ASSERT_TRUE(TestSupport::MakeSymbolicLink(directory / L"link", directory / L"real", true));

    // Every folder from the drive's root down is checked: those above what the program keeps may let others
    // add to them, not rename or replace what is in them.
    const struct {
        const wchar_t* name;
        std::vector<std::wstring> trusted;
        const wchar_t* keptRoot;
        std::string outcome;
    } cases[] = {
        {L"real", withUser, L"", "used"},
        // Under Wine the user owns every folder, the drive's root first.
        {L"real", TrustedPrincipals::Default(), L"",
         prefix.substr(0, 3) + ": owned by " + Utf8(user) + ", not by a trusted principal"},
        {L"open", withUser, L"", openRefusal},
        {L"a file", withUser, L"", prefix + "a file: not a folder"},
        {L"link", withUser, L"", prefix + "link: a link or junction, not a folder of its own"},
        {L"link\\Logs", withUser, L"", prefix + "link: a link or junction, not a folder of its own"},
        {L"open\\Logs", withUser, L"",
         prefix + "open: lets S-1-1-0 delete or rename it or what is in it, or change its permissions"},
        {L"open\\Deployments\\pkg", withUser, L"open", openRefusal},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(Utf8(row.name));
        EXPECT_EQ(Refusal(directory / row.name, row.trusted, *row.keptRoot ? directory / row.keptRoot : L""),
                  row.outcome);
    }
    EXPECT_FALSE(TestSupport::FileExists(directory / L"real\\Logs"));
    TestSupport::RemoveSymbolicLink(directory / L"link");
}

// The rules on security descriptors that Wine's files cannot carry: Windows' own folders, and single rights
// for a principal that is not trusted.
TEST(ProtectedFolder, JudgesOwnersAndDaclsByTheRuleOfTheirPlace) {
    const std::string used = "used";
    const std::string writes = "lets S-1-5-32-545 write to it, or to what is created in it";
    const std::string replaces =
        "lets S-1-5-32-545 delete or rename it or what is in it, or change its permissions";
    const std::string changes = "lets S-1-5-32-545 change, replace or delete it";
    const std::wstring installer = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    const std::wstring fromWindows = L"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    const struct {
        const char* name;
        std::wstring sddl;
        // Under the kept rule, the rule for folders above, and the rule for programs.
        std::string kept, above, program;
    } cases[] = {
        {"created by the program", std::wstring(L"O:BA") + ProtectedFolder::CREATED_FOLDER_SDDL, used, used,
         used},
        {"C:\\ProgramData of Windows 10",
         L"O:SYD:P(A;OICIIO;FA;;;CO)" + fromWindows + L"(A;CI;0x100116;;;BU)", writes, used, changes},
        {"C:\\ of Windows 10",
         L"O:" + installer + L"D:" + fromWindows + L"(A;OICIIO;0x1301bf;;;AU)(A;;0x4;;;AU)",
         "lets S-1-5-11 write to it, or to what is created in it", used,
         "lets S-1-5-11 change, replace or delete it"},
        {"WRITE_DAC only", L"O:SYD:" + fromWindows + L"(A;;WD;;;BU)", writes, replaces, changes},
        {"WRITE_OWNER only", L"O:SYD:" + fromWindows + L"(A;;WO;;;BU)", writes, replaces, changes},
        {"DELETE only", L"O:SYD:" + fromWindows + L"(A;;SD;;;BU)", writes, replaces, changes},
        {"FILE_DELETE_CHILD only", L"O:SYD:" + fromWindows + L"(A;;0x40;;;BU)", writes, replaces, changes},
        {"GENERIC_ALL, inherited only", L"O:SYD:" + fromWindows + L"(A;OICIIO;GA;;;BU)", writes, used,
         changes},
        {"owned by Users", L"O:BUD:" + fromWindows, "owned by S-1-5-32-545, not by a trusted principal",
         "owned by S-1-5-32-545, not by a trusted principal",
         "owned by S-1-5-32-545, not by a trusted principal"},
        {"no DACL", L"O:SY", "has no DACL: anyone may change it", "has no DACL: anyone may change it",
         "has no DACL: anyone may change it"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(row.sddl.c_str(), SDDL_REVISION_1,
                                                                         &descriptor, nullptr));
        const Win32::LocalPtr<void> held(descriptor);
        const auto judged = [&](ProtectedFolder::Rule rule) {
            return ProtectedFolder::SecurityRefusal(descriptor, rule, TrustedPrincipals::Default())
                .value_or(used);
        };
        EXPECT_EQ(judged(ProtectedFolder::Rule::Kept), row.kept);
        EXPECT_EQ(judged(ProtectedFolder::Rule::Above), row.above);
        EXPECT_EQ(judged(ProtectedFolder::Rule::Program), row.program);
    }
}

TEST(ProtectedFolder, NewFilesNeverOverwriteNorFollowALink) {
    const TempDirectory directory;
    std::vector<std::wstring> trusted = TrustedPrincipals::Default();
    trusted.push_back(OwnUser());
    const ProtectedFolder folder = ProtectedFolder::Open(directory / L"Logs", trusted);
    const std::wstring stem = L"PC-0042_fw_20261208T093005Z";
    const auto inFolder = [&](const std::wstring& suffix) {
        return folder.Path() + L"\\" + stem + suffix;
    };

    // Planted by someone else: the first name a link to a file elsewhere, the second a link to a file that
    // does not exist yet, the fourth a file.
    const TempDirectory elsewhere;
    const std::wstring victim = elsewhere / L"victim.ini";
    const std::wstring unborn = elsewhere / L"unborn.ini";
    TestSupport::WriteBytes(victim, "keep=me\r\n");
    ASSERT_TRUE(TestSupport::MakeSymbolicLink(inFolder(L".json"), victim, false));
    ASSERT_TRUE(TestSupport::MakeSymbolicLink(inFolder(L"-2.json"), unborn, false));
    TestSupport::WriteBytes(inFolder(L"-4.json"), "planted");

    std::vector<std::wstring> names;
    for (int i = 0; i < 3; ++i) {
        ProtectedFolder::NewFile file = folder.CreateNew(stem, L".json");
        DeployRecord record = FullRecord();
        record.outcome = "run " + std::to_string(i);
        ASSERT_TRUE(record.WriteTo(file.handle.Get()));
        // A second write replaces the first whole: the result after the attempt under way.
        record.toolClosingLine.reset();
        ASSERT_TRUE(record.WriteTo(file.handle.Get()));
        file.handle.Reset();
        EXPECT_EQ(ReadBytes(file.path), record.ToJson());
        names.push_back(file.path.substr(folder.Path().size() + 1));
    }
    EXPECT_EQ(names, (std::vector<std::wstring>{stem + L"-3.json", stem + L"-5.json", stem + L"-6.json"}));
    EXPECT_EQ(ReadBytes(victim), "keep=me\r\n");
    EXPECT_FALSE(TestSupport::FileExists(unborn));
    EXPECT_EQ(ReadBytes(inFolder(L"-4.json")), "planted");
    TestSupport::RemoveSymbolicLink(inFolder(L".json"));
    TestSupport::RemoveSymbolicLink(inFolder(L"-2.json"));
}
#endif

} // namespace
