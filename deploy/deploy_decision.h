#pragma once

#include "deploy/disk_identity.h"
#include "deploy/package_manifest.h"
#include "device/drive_discovery.h"
#include "device/drive_identity.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What an install run finds on the machine before it may send anything.
struct DeploySituation {
    // The drives to choose from: every drive that discovery asked, or the one that /T: named.
    std::vector<DiscoveredDrive> drives;
    // How many attempts the records of this machine hold for the package, and the boot in which the last
    // attempt whose tool run succeeded took place.
    std::uint32_t attempts = 0;
    std::optional<std::string> installedInBoot;
    std::string boot;
    // Whether the machine runs on AC power, and its battery's charge when Windows knows it.
    bool onAcPower = true;
    std::optional<unsigned> batteryPercent;
};

// What the run does, decided in this order, the first that applies: more than one drive that the manifest
// names (ambiguous); a drive that might be one it names cannot be read (unknown: nothing can be decided until
// it can); no drive that the manifest names (not applicable); the drive runs the target version (already
// current); an update of this package in this boot awaits the restart (pending); the drive's version is none
// the manifest may replace; Quillon would refuse the device; Windows would refuse a download request of the
// image; the battery is below the manifest's minimum; the attempts for the package are used up; otherwise
// install. Two drives that the manifest names make the run ambiguous whatever an unreadable third one is.
struct DeployDecision {
    enum class Outcome {
        Ambiguous,
        Unknown,
        NotApplicable,
        AlreadyCurrent,
        PendingRestart,
        NotReplaceable,
        DeviceRefused,
        PackageRefused,
        BatteryLow,
        AttemptsExhausted,
        Install,
    };
    // Attempts of one package on one machine, a failed install after the restart counted among them.
    static constexpr std::uint32_t MAXIMUM_ATTEMPTS = 3;

    Outcome outcome = Outcome::NotApplicable;
    // The drive chosen; none when no single drive is named.
    std::optional<unsigned> drive;
    // The first drive that might be one that the manifest names and cannot be read, when the outcome is
    // unknown.
    std::optional<unsigned> unreadable;
    // The chosen drive's FIRMWARE_VERSION, when its EXT_CSD was read.
    std::optional<PackageManifest::FirmwareVersion> version;

    static DeployDecision Decide(const PackageManifest& manifest, const DeploySituation& situation);
};

// The identity that a manifest matches, as the device layer read it.
DiskIdentity DiskIdentityOf(const DriveIdentity& identity);

// Whether the manifest names the drive. A drive that might be one it names and cannot be read is unknown: it
// did not open, unless Windows said that there is no such drive; or it opened and its identity cannot be
// read; or the manifest names its identity only together with EXT_CSD fields, and its EXT_CSD cannot be
// read.
PackageManifest::Naming NamingOf(const PackageManifest& manifest, const DeviceInventory& inventory);
