#include "deploy/deployment.h"

#include "cli/hex.h"
#include "cli/sha256.h"
#include "cli/utf8.h"
#include "deploy/deploy_decision.h"
#include "deploy/package_manifest.h"
#include "deploy/protected_folder.h"
#include "deploy/working_folder.h"
#include "device/drive_discovery.h"
#include "device/ext_csd.h"
#include "device/storage_firmware.h"
#include "win32/unique_find.h"
#include "win32/unique_handle.h"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>

namespace {

using FirmwareVersion = PackageManifest::FirmwareVersion;
using Result = Deployment::Result;

constexpr DWORD COPY_BLOCK_LENGTH = 1024 * 1024;
// quillon.exe's exit code when another run holds its guard.
constexpr DWORD TOOL_ALREADY_RUNNING = 5;
// The firmware information's PendingActivateSlot when no activation waits for the restart.
constexpr std::uint8_t NO_PENDING_SLOT = 0xFF;
// More than any record or quillon.log of one run.
constexpr std::size_t MAXIMUM_KEPT_FILE_LENGTH = std::size_t{1024} * 1024;

std::string VersionText(const FirmwareVersion& version) {
    return Hex::Text(version.data(), version.size());
}

std::string WindowsError(DWORD code) {
    return "Windows error " + std::to_string(code);
}

Result Message(int exitCode, const std::string& text, bool error = true) {
    return {exitCode, "quillon-deploy: " + text, error, std::nullopt};
}

// The whole file, when it is one and no larger than the bound; a link is never followed.
std::optional<std::string> ReadKeptFile(const std::wstring& path) {
    const Win32::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    LARGE_INTEGER size{};
    if (!file.IsValid() || GetFileType(file.Get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.Get(), &size) ||
        size.QuadPart < 0 || static_cast<std::uint64_t>(size.QuadPart) > MAXIMUM_KEPT_FILE_LENGTH) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!text.empty() &&
        (!ReadFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr) ||
         read != text.size())) {
        return std::nullopt;
    }
    return text;
}

// A record kept in the package's records folder; none when the file does not hold one, as a write cut short
// by a lost machine leaves it.
struct KeptRecord {
    std::wstring path;
    std::optional<DeployRecord> record;

    // Only a run that sent or may have sent the image to a device is an attempt: one whose tool ran past
    // its guard, or whose end nobody saw.
    bool IsAttempt() const {
        return !record || (record->toolExitCode && *record->toolExitCode != TOOL_ALREADY_RUNNING) ||
               record->outcome == Deployment::ATTEMPT_UNDER_WAY;
    }
    bool IsUpdate() const { return record && record->toolExitCode == 0u; }
};

// Oldest first, by the time the records carry, then by name; those that hold no record first. Names of one
// second differ by their sequence ("-2", "-3", ... after the first), which the shorter name comes before.
std::vector<KeptRecord> ReadRecords(const std::wstring& folder) {
    std::vector<KeptRecord> records;
    WIN32_FIND_DATAW found{};
    const Win32::UniqueFind search = Win32::FindFirst(folder + L"\\*.json", found);
    if (!search) {
        return records;
    }
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
            continue;
        }
        KeptRecord kept{folder + L"\\" + found.cFileName, std::nullopt};
        if (const auto text = ReadKeptFile(kept.path)) {
            kept.record = DeployRecord::FromJson(*text);
        }
        records.push_back(std::move(kept));
    } while (FindNextFileW(search.get(), &found));
    std::sort(records.begin(), records.end(), [](const KeptRecord& a, const KeptRecord& b) {
        return std::make_tuple(a.record.has_value(), a.record ? a.record->time : std::string(), a.path.size(),
                               a.path) < std::make_tuple(b.record.has_value(),
                                                         b.record ? b.record->time : std::string(),
                                                         b.path.size(), b.path);
    });
    return records;
}

const KeptRecord* LatestUpdate(const std::vector<KeptRecord>& records) {
    const auto latest = std::find_if(records.rbegin(), records.rend(),
                                     [](const KeptRecord& kept) { return kept.IsUpdate(); });
    return latest == records.rend() ? nullptr : &*latest;
}

// The boot in which this package's image last went to a drive that now awaits its restart: the boot of the
// last update, or of a run whose end nobody saw (killed, or the machine lost power) when its drive reports
// an activation pending, since its tool may have finished all the same.
std::optional<std::string> InstalledInBoot(const std::vector<KeptRecord>& records,
                                           const std::vector<DiscoveredDrive>& drives) {
    std::optional<std::string> boot;
    if (const KeptRecord* update = LatestUpdate(records)) {
        boot = update->record->bootIdentity;
    }
    const auto pending = [&](unsigned number) {
        return std::any_of(drives.begin(), drives.end(), [&](const DiscoveredDrive& drive) {
            const auto& info = drive.inventory.firmwareInfo;
            return drive.number == number &&
                   info.size() >= sizeof(StorageFirmware::STORAGE_HW_FIRMWARE_INFO) &&
                   StorageFirmware::InfoOf(info).PendingActivateSlot != NO_PENDING_SLOT;
        });
    };
    for (const KeptRecord& kept : records) {
        if (kept.record && kept.record->outcome == Deployment::ATTEMPT_UNDER_WAY && kept.record->drive &&
            kept.record->bootIdentity && pending(*kept.record->drive)) {
            boot = kept.record->bootIdentity;
        }
    }
    return boot;
}

bool Rewrite(const std::wstring& path, const DeployRecord& record) {
    const Win32::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return file.IsValid() && record.WriteTo(file.Get());
}

std::optional<FirmwareVersion> VersionOf(const DeviceInventory& inventory) {
    if (inventory.extCsd.size() < ExtCsd::SIZE) {
        return std::nullopt;
    }
    FirmwareVersion version{};
    std::copy_n(inventory.extCsd.begin() + ExtCsd::FIRMWARE_VERSION, version.size(), version.begin());
    return version;
}

// The last line of the tool's log, without its line end; none without a log.
std::optional<std::string> ClosingLine(const std::string& log) {
    std::size_t end = log.find_last_not_of("\r\n");
    if (end == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t start = log.find_last_of('\n', end);
    return log.substr(start == std::string::npos ? 0 : start + 1,
                      end + 1 - (start == std::string::npos ? 0 : start + 1));
}

bool WriteAll(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size() && FlushFileBuffers(file);
}

// What the run keeps of itself: the record in the package's records folder, for later runs, and a copy in
// the log folder, for the operator; each file made new for the run, held open until the run ends.
class KeptFiles {
public:
    KeptFiles(const ProtectedFolder& records, const ProtectedFolder& logs, std::wstring stem)
        : records(records), logs(logs), stem(std::move(stem)) {}

    // False when either copy cannot be written.
    bool Write(const DeployRecord& record) {
        try {
            if (!kept) {
                kept = records.CreateNew(stem, L".json");
                copy = logs.CreateNew(stem, L".json");
            }
        } catch (const ProtectedFolder::Refused& refused) {
            failure = refused.what();
            return false;
        }
        if (!record.WriteTo(kept->handle.Get()) || !record.WriteTo(copy->handle.Get())) {
            failure = "the record cannot be written (" + WindowsError(GetLastError()) + ")";
            return false;
        }
        return true;
    }
    const std::string& Failure() const { return failure; }

private:
    const ProtectedFolder& records;
    const ProtectedFolder& logs;
    std::wstring stem;
    std::optional<ProtectedFolder::NewFile> kept;
    std::optional<ProtectedFolder::NewFile> copy;
    std::string failure;
};

// The image as the manifest gives it, under its own name, copied into a folder of the run and held open for
// reading only, so that nobody writes it between the check of its hash and the tool's read. The folder
// removes the copy.
class ImageCopy {
public:
    ImageCopy(const PackageManifest& manifest, const std::wstring& folder)
        : path(folder + L"\\" + manifest.ImagePath().substr(manifest.ImagePath().find_last_of(L"\\/") + 1)) {
        const Win32::UniqueHandle source(CreateFileW(manifest.ImagePath().c_str(), GENERIC_READ,
                                                     FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!source.IsValid()) {
            failure = "the image '" + Utf8::FromWide(manifest.ImagePath()) + "' cannot be opened (" +
                      WindowsError(GetLastError()) + ")";
            return;
        }
        if (!Copy(source.Get(), manifest.ImageLength())) {
            return;
        }
        held = Win32::UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        const auto hash = held.IsValid() ? Sha256::OfFile(held.Get()) : std::nullopt;
        if (!hash) {
            failure = "the image's copy cannot be read (" + WindowsError(GetLastError()) + ")";
        } else if (hash->length != manifest.ImageLength()) {
            failure = "the image is " + std::to_string(hash->length) + " bytes long, the manifest says " +
                      std::to_string(manifest.ImageLength());
        } else if (hash->digest != manifest.ImageSha256()) {
            failure = "the image's SHA-256 is " + Sha256::Hex(hash->digest) + ", the manifest says " +
                      Sha256::Hex(manifest.ImageSha256());
        }
    }
    ImageCopy(const ImageCopy&) = delete;
    ImageCopy& operator=(const ImageCopy&) = delete;

    const std::wstring& Path() const { return path; }
    // Empty when the copy is the manifest's image.
    const std::string& Failure() const { return failure; }

private:
    // Copies at most one byte more than the manifest's length: enough to tell a longer image.
    bool Copy(HANDLE source, std::uint64_t length) {
        const Win32::UniqueHandle target(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!target.IsValid()) {
            failure = "the image cannot be copied (" + WindowsError(GetLastError()) + ")";
            return false;
        }
        std::vector<std::uint8_t> block(COPY_BLOCK_LENGTH);
        std::uint64_t copied = 0;
        while (copied <= length) {
            DWORD read = 0;
            if (!ReadFile(source, block.data(), COPY_BLOCK_LENGTH, &read, nullptr)) {
                failure = "the image cannot be read (" + WindowsError(GetLastError()) + ")";
                return false;
            }
            if (read == 0) {
                break;
            }
            DWORD written = 0;
            if (!WriteFile(target.Get(), block.data(), read, &written, nullptr) || written != read) {
                failure = "the image cannot be copied (" + WindowsError(GetLastError()) + ")";
                return false;
            }
            copied += read;
        }
        if (!FlushFileBuffers(target.Get())) {
            failure = "the image cannot be copied (" + WindowsError(GetLastError()) + ")";
            return false;
        }
        return true;
    }

    std::wstring path;
    Win32::UniqueHandle held;
    std::string failure;
};

struct Decided {
    int exitCode;
    std::string outcome;
};

// What keeps the drive from being told: the first that failed of the requests that tell it.
std::string Unreadable(unsigned number, const DeviceInventory& inventory) {
    const std::string drive = "drive " + std::to_string(number);
    std::string what;
    if (inventory.openFailure) {
        what = drive + " cannot be opened (" + WindowsError(inventory.openFailure->code) + ")";
    } else if (inventory.deviceDescriptorFailure) {
        what = "the identity of " + drive + " cannot be read (" +
               WindowsError(inventory.deviceDescriptorFailure->code) + ")";
    } else if (!inventory.identity.BusType()) {
        what = "the identity of " + drive + " cannot be read (it gives no bus type)";
    } else {
        what = "the EXT_CSD of " + drive + " cannot be read (" +
               WindowsError(inventory.extCsdFailure ? inventory.extCsdFailure->code : 0) + ")";
    }
    return "unknown: " + what + "; it might be one that the package is for";
}

Decided Refusal(DeployDecision::Outcome outcome, const PackageManifest& manifest,
                const DeployDecision& decision, const DeviceInventory* inventory) {
    using Outcome = DeployDecision::Outcome;
    const std::string version = decision.version ? VersionText(*decision.version) : std::string();
    switch (outcome) {
    case Outcome::Ambiguous:
        return {Deployment::Ambiguous,
                "refused: more than one drive of this machine is one that the package is for"};
    case Outcome::Unknown:
        return {Deployment::DriveUnreadable, Unreadable(*decision.unreadable, *inventory)};
    case Outcome::NotApplicable:
        return {Deployment::Done, "not applicable: no drive of this machine is one that the package is for"};
    case Outcome::AlreadyCurrent:
        return {Deployment::Done, "already current: the drive runs " + version};
    case Outcome::PendingRestart:
        return {
            Deployment::RestartRequired,
            "pending: this package updated the drive in this boot; the new firmware runs after the restart"};
    case Outcome::NotReplaceable:
        return {Deployment::NotReplaceable,
                "refused: the drive runs " + version + ", which is not a version that the package replaces"};
    case Outcome::DeviceRefused: {
        std::string line = inventory ? inventory->verdict.refusal : std::string();
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        return {Deployment::DeviceRefused, "refused: Quillon would refuse the drive: " + line};
    }
    case Outcome::PackageRefused: {
        const PackagePlan plan = PlanPackage(*inventory, static_cast<std::uint32_t>(manifest.ImageLength()));
        return {Deployment::PackageRefused,
                "refused: Windows would refuse the image: " + plan.failure->reason};
    }
    case Outcome::BatteryLow:
        return {Deployment::BatteryLow, "refused: on battery power below " +
                                            std::to_string(manifest.MinimumBatteryPercent()) + " percent"};
    case Outcome::AttemptsExhausted:
        return {Deployment::AttemptsExhausted, "refused: the " +
                                                   std::to_string(DeployDecision::MAXIMUM_ATTEMPTS) +
                                                   " attempts of this package were made"};
    case Outcome::Install:
        break;
    }
    return {Deployment::Done, std::string()};
}

// The package's folders: its state, its records, and the operator's log folder.
struct Folders {
    ProtectedFolder state;
    ProtectedFolder records;
    ProtectedFolder logs;
};

// The manifest that Verify reads, replaced whole.
bool KeepManifest(const ProtectedFolder& state, const std::string& text) {
    std::wstring written;
    {
        ProtectedFolder::NewFile file = state.CreateNew(L"manifest", L".new");
        if (!WriteAll(file.handle.Get(), text)) {
            file.handle.Reset();
            DeleteFileW(file.path.c_str());
            return false;
        }
        written = file.path;
    }
    if (!MoveFileExW(written.c_str(), (state.Path() + L"\\" + Deployment::MANIFEST_FILE).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(written.c_str());
        return false;
    }
    return true;
}

} // namespace

Deployment::Result Deployment::Install(const Host& host, const std::wstring& manifestPath,
                                       const std::wstring& logFolder, std::optional<unsigned> drive) {
    std::optional<PackageManifest> manifest;
    try {
        manifest = PackageManifest::Read(manifestPath);
    } catch (const PackageManifest::Refused& refused) {
        return Message(ManifestRefused, refused.what());
    }
    std::optional<Folders> folders;
    try {
        ProtectedFolder state = ProtectedFolder::Open(
            host.stateRoot + L"\\" + Utf8::ToWide(manifest->PackageId()), host.trusted, host.keptRoot);
        ProtectedFolder records =
            ProtectedFolder::Open(state.Path() + L"\\" + RECORDS_FOLDER, host.trusted, host.keptRoot);
        folders.emplace(Folders{std::move(state), std::move(records),
                                ProtectedFolder::Open(logFolder, host.trusted, host.keptRoot)});
        if (!KeepManifest(folders->state, manifest->Text())) {
            return Message(FolderRefused, Utf8::FromWide(folders->state.Path()) +
                                              ": the manifest cannot be kept (" +
                                              WindowsError(GetLastError()) + ")");
        }
    } catch (const ProtectedFolder::Refused& refused) {
        return Message(FolderRefused, refused.what());
    }

    const SYSTEMTIME now = host.clock();
    const std::wstring stem = DeployRecord::FileStem(host.machine, manifest->PackageId(), now);
    DeployRecord record;
    record.time = DeployRecord::IsoTime(now);
    record.machine = Utf8::FromWide(host.machine);
    record.packageId = manifest->PackageId();
    record.imageSha256 = manifest->ImageSha256();
    record.targetVersion = manifest->TargetVersion();
    record.bootIdentity = host.boot();

    DeploySituation situation;
    const Guarded guarded = host.whileToolGuarded([&] {
        if (drive) {
            situation.drives.push_back(DiscoverDrive(*drive));
        } else {
            situation.drives = DiscoverDrives();
        }
    });
    if (guarded.untrustedOwner) {
        return Message(GuardUntrusted, *guarded.untrustedOwner);
    }
    if (!guarded.held) {
        return Message(AnotherRun, "Quillon or another program that asks its devices is running");
    }
    // No tool of this package's runs runs now: it would have held the guards.
    WorkingFolder::RemoveLeftovers(folders->state.Path(), manifest->PackageId());
    std::vector<KeptRecord> kept = ReadRecords(folders->records.Path());
    const KeptRecord* update = LatestUpdate(kept);
    situation.attempts = static_cast<std::uint32_t>(
        std::count_if(kept.begin(), kept.end(), [](const KeptRecord& record) { return record.IsAttempt(); }));
    situation.installedInBoot = InstalledInBoot(kept, situation.drives);
    // A boot that cannot be told matches no record's: every update is then one of an earlier boot.
    situation.boot = record.bootIdentity.value_or(std::string());
    const MachineFacts::Power power = host.power();
    situation.onAcPower = power.onAcPower;
    situation.batteryPercent = power.batteryPercent;
    const DeployDecision decision = DeployDecision::Decide(*manifest, situation);

    const DiscoveredDrive* target = nullptr;
    const DiscoveredDrive* unreadable = nullptr;
    for (const DiscoveredDrive& candidate : situation.drives) {
        if (decision.drive == candidate.number) {
            target = &candidate;
        }
        if (decision.unreadable == candidate.number) {
            unreadable = &candidate;
        }
    }
    if (target != nullptr) {
        record.drive = target->number;
        record.identity = DiskIdentityOf(target->inventory.identity);
        record.versionBefore = decision.version;
    }

    // The update that an earlier boot made has met its restart: its record learns what the drive runs now.
    if (update != nullptr && decision.version && update->record->bootIdentity != record.bootIdentity &&
        !update->record->versionAfterRestart) {
        DeployRecord restarted = *update->record;
        restarted.versionAfterRestart = decision.version;
        if (*decision.version != restarted.targetVersion) {
            restarted.outcome = "failed at the restart: expected " + VersionText(restarted.targetVersion) +
                                ", got " + VersionText(*decision.version);
        }
        if (!Rewrite(update->path, restarted)) {
            return Message(FolderRefused, Utf8::FromWide(update->path) + ": the record cannot be written (" +
                                              WindowsError(GetLastError()) + ")");
        }
    }

    KeptFiles files(folders->records, folders->logs, stem);
    const auto finish = [&](int exitCode, const std::string& outcome) {
        record.outcome = outcome;
        record.exitCode = exitCode;
        if (!files.Write(record)) {
            return Message(FolderRefused, files.Failure());
        }
        return Result{exitCode, "quillon-deploy: " + outcome, false, record};
    };

    if (decision.outcome != DeployDecision::Outcome::Install) {
        const DiscoveredDrive* concerned = target != nullptr ? target : unreadable;
        const Decided decided =
            Refusal(decision.outcome, *manifest, decision, concerned ? &concerned->inventory : nullptr);
        return finish(decided.exitCode, decided.outcome);
    }
    if (!record.bootIdentity) {
        return finish(BootUnknown,
                      "refused: the machine's boot cannot be told, nor later whether it restarted");
    }
    // The tool runs with this program's rights: whoever could replace it, or put it elsewhere, would run
    // their own program as SYSTEM.
    const std::string tool = Utf8::FromWide(host.tool.substr(host.tool.find_last_of(L"\\/") + 1));
    try {
        ProtectedFolder::CheckProgram(host.tool, host.trusted);
    } catch (const ProtectedFolder::Refused& refused) {
        return finish(FolderRefused, "refused: " + tool + " is not in a protected place: " + refused.what());
    }

    const WorkingFolder working(folders->state.Path(), stem);
    if (working.Error() != 0) {
        return finish(FolderRefused, "refused: the working folder '" + Utf8::FromWide(working.Path()) +
                                         "' cannot be made (" + WindowsError(working.Error()) + ")");
    }
    const ImageCopy image(*manifest, working.ImageFolder());
    if (!image.Failure().empty()) {
        return finish(ImageRefused, "refused: " + image.Failure());
    }

    record.outcome = ATTEMPT_UNDER_WAY;
    if (!files.Write(record)) {
        return Message(FolderRefused, files.Failure());
    }
    const ToolExit exit = host.runTool(host.tool, target->number, image.Path(), working.Path());
    record.toolExitCode = exit.exitCode;
    if (const auto log = ReadKeptFile(working.Log())) {
        record.toolClosingLine = ClosingLine(*log);
        try {
            const ProtectedFolder::NewFile keptLog = folders->logs.CreateNew(stem, L".log");
            if (!WriteAll(keptLog.handle.Get(), *log)) {
                return finish(FolderRefused,
                              "failed: the tool's log cannot be kept (" + WindowsError(GetLastError()) + ")");
            }
        } catch (const ProtectedFolder::Refused& refused) {
            return finish(FolderRefused,
                          std::string("failed: the tool's log cannot be kept: ") + refused.what());
        }
    }

    host.whileToolGuarded([&] {
        const DeviceInventory after = DiscoverDrive(target->number).inventory;
        if (after.firmwareInfo.size() >= sizeof(StorageFirmware::STORAGE_HW_FIRMWARE_INFO)) {
            record.pendingSlot = StorageFirmware::InfoOf(after.firmwareInfo).PendingActivateSlot;
        }
        if (after.extCsd.size() >= ExtCsd::SIZE) {
            record.ffuStatus = after.extCsd[ExtCsd::FFU_STATUS];
            std::uint32_t sectors = 0;
            for (std::size_t i = ExtCsd::NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED_LENGTH; i > 0; --i) {
                sectors =
                    sectors << 8 | after.extCsd[ExtCsd::NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED + i - 1];
            }
            record.sectorsProgrammed = sectors;
        }
    });

    if (!exit.exitCode) {
        return finish(ToolFailed,
                      "failed: " + tool + " could not be started (" + WindowsError(exit.startError) + ")");
    }
    if (*exit.exitCode == 0) {
        return finish(RestartRequired, "updated: the new firmware runs after the restart");
    }
    if (*exit.exitCode == TOOL_ALREADY_RUNNING) {
        return finish(AnotherRun, "not updated: " + tool + " was running already");
    }
    return finish(ToolFailed, "failed: " + tool + " ended with exit code " + std::to_string(*exit.exitCode));
}

Deployment::Result Deployment::Verify(const Host& host, const std::string& packageId) {
    Result notInstalled{NotInstalled, std::string(), false, std::nullopt};
    if (!PackageManifest::IsPackageId(packageId)) {
        return notInstalled;
    }
    const std::wstring statePath = host.stateRoot + L"\\" + Utf8::ToWide(packageId);
    // Verify changes nothing: a package that no install run has seen has no folder, and gets none.
    if (GetFileAttributesW(statePath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return notInstalled;
    }
    std::optional<PackageManifest> manifest;
    std::vector<KeptRecord> kept;
    try {
        const ProtectedFolder state = ProtectedFolder::Open(statePath, host.trusted, host.keptRoot);
        manifest = PackageManifest::Read(state.Path() + L"\\" + MANIFEST_FILE);
        const std::wstring recordsPath = state.Path() + L"\\" + RECORDS_FOLDER;
        if (GetFileAttributesW(recordsPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
            kept = ReadRecords(ProtectedFolder::Open(recordsPath, host.trusted, host.keptRoot).Path());
        }
    } catch (const ProtectedFolder::Refused&) {
        return notInstalled;
    } catch (const PackageManifest::Refused&) {
        return notInstalled;
    }
    if (manifest->PackageId() != packageId) {
        return notInstalled;
    }

    std::vector<DiscoveredDrive> drives;
    const Guarded guarded = host.whileToolGuarded([&] { drives = DiscoverDrives(); });
    // Detection reads installed or not only; whoever runs it by hand learns who keeps it from asking.
    if (guarded.untrustedOwner) {
        return Message(NotInstalled, *guarded.untrustedOwner);
    }
    if (!guarded.held) {
        return notInstalled;
    }
    std::vector<const DiscoveredDrive*> named;
    bool unknown = false;
    for (const DiscoveredDrive& drive : drives) {
        const PackageManifest::Naming naming = NamingOf(*manifest, drive.inventory);
        if (naming == PackageManifest::Naming::Yes) {
            named.push_back(&drive);
        }
        unknown = unknown || naming == PackageManifest::Naming::Unknown;
    }
    const auto installed = [&](const std::string& how) {
        return Result{Done, packageId + ": installed: " + how, false, std::nullopt};
    };
    // A drive that might be the package's and cannot be read leaves the answer open: the package is not
    // installed until it is known.
    if (named.size() > 1 || unknown) {
        return notInstalled;
    }
    if (named.empty()) {
        return installed("no drive of this machine is one that the package is for");
    }
    const std::string drive = "drive " + std::to_string(named.front()->number);
    const auto version = VersionOf(named.front()->inventory);
    if (version == manifest->TargetVersion()) {
        return installed(drive + " runs " + VersionText(*version));
    }
    const auto boot = host.boot();
    if (boot && InstalledInBoot(kept, drives) == boot) {
        return installed(drive + " was updated in this boot; the new firmware runs after the restart");
    }
    return notInstalled;
}
