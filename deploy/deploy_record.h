#pragma once

#include "cli/sha256.h"
#include "deploy/disk_identity.h"
#include "deploy/package_manifest.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdint>
#include <optional>
#include <string>

// What one run of the deployment program did, as the JSON record it keeps in its log folder: written once
// before the tool runs (an attempt under way, so that a run killed half-way or a machine that lost power is
// known on the next run) and again with the result. The keys are documented in docs/deployment.md
// ("The result record"). Texts are UTF-8; byte strings lower-case hexadecimal.
class DeployRecord {
public:
    static constexpr int RECORD_VERSION = 1;
    using FirmwareVersion = PackageManifest::FirmwareVersion;

    // What the run came to, in the deployment program's own words ("attempt under way" until the end).
    std::string outcome;
    // The deployment program's exit code; none while the attempt is under way.
    std::optional<int> exitCode;
    // When the record was written, in UTC: ISO-8601, as IsoTime gives it.
    std::string time;
    std::string machine;
    std::string packageId;
    Sha256::Digest imageSha256{};
    // The drive digit of \\.\PhysicalDrive<digit>; none when no drive was chosen.
    std::optional<unsigned> drive;
    // The disk's identity strings are its bytes, each as the character of that code, as in the manifest.
    std::optional<DiskIdentity> identity;
    std::optional<FirmwareVersion> versionBefore;
    FirmwareVersion targetVersion{};
    // What tells this boot of Windows from the next, so that a later run knows whether a restart came
    // between.
    std::optional<std::string> bootIdentity;
    // quillon.exe's exit code and the last line of its log; none when it was not run.
    std::optional<std::uint32_t> toolExitCode;
    std::optional<std::string> toolClosingLine;
    // What the device reported after the tool's run: the firmware information's pending slot, EXT_CSD
    // FFU_STATUS and NUMBER_OF_FW_SECTORS_CORRECTLY_PROGRAMMED.
    std::optional<std::uint32_t> pendingSlot;
    std::optional<std::uint8_t> ffuStatus;
    std::optional<std::uint32_t> sectorsProgrammed;
    // FIRMWARE_VERSION after the restart that was to bring the target, once a later run has read it.
    std::optional<FirmwareVersion> versionAfterRestart;

    std::string ToJson() const;
    // The record that ToJson wrote; nothing for any other text (another record version, a damaged file).
    static std::optional<DeployRecord> FromJson(const std::string& text);

#ifdef _WIN32
    // Replaces the file's whole content with the record and flushes it to the disk; false when any step
    // fails. The file is one that ProtectedFolder::CreateNew made for this run.
    bool WriteTo(HANDLE file) const;

    // 2026-12-08T09:30:05Z
    static std::string IsoTime(const SYSTEMTIME& utc);
    // The name of a run's files without extension: machine, package id and the UTC time in ISO-8601's basic
    // format, which has no character that file names refuse: PC-0042_contoso-emmc-0502_20261208T093005Z.
    // Characters of the machine name other than letters, digits and '-' become '_'.
    static std::wstring FileStem(const std::wstring& machine, const std::string& packageId,
                                 const SYSTEMTIME& utc);
#endif
};
