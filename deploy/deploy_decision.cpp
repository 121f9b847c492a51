#include "deploy/deploy_decision.h"

#include "device/ext_csd.h"

#include <algorithm>

DiskIdentity DiskIdentityOf(const DriveIdentity& identity) {
    return {identity.BusType(), identity.Trimmed(DriveIdentity::Text::Vendor),
            identity.Trimmed(DriveIdentity::Text::Product),
            identity.Trimmed(DriveIdentity::Text::ProductRevision)};
}

PackageManifest::Naming NamingOf(const PackageManifest& manifest, const DeviceInventory& inventory) {
    if (inventory.openFailure) {
        // A number that names no drive, or a link to a disk that has gone; any other failure (a drive held
        // open by another program, for one) leaves a drive that exists.
        const DWORD code = inventory.openFailure->code;
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                   ? PackageManifest::Naming::No
                   : PackageManifest::Naming::Unknown;
    }
    if (inventory.deviceDescriptorFailure || !inventory.identity.BusType()) {
        return PackageManifest::Naming::Unknown;
    }
    return manifest.Names(DiskIdentityOf(inventory.identity), inventory.extCsd);
}

DeployDecision DeployDecision::Decide(const PackageManifest& manifest, const DeploySituation& situation) {
    DeployDecision decision;
    const DiscoveredDrive* target = nullptr;
    for (const DiscoveredDrive& drive : situation.drives) {
        switch (NamingOf(manifest, drive.inventory)) {
        case PackageManifest::Naming::Yes:
            if (target != nullptr) {
                decision.outcome = Outcome::Ambiguous;
                decision.unreadable.reset();
                return decision;
            }
            target = &drive;
            break;
        case PackageManifest::Naming::Unknown:
            if (!decision.unreadable) {
                decision.unreadable = drive.number;
            }
            break;
        case PackageManifest::Naming::No:
            break;
        }
    }
    if (decision.unreadable) {
        decision.outcome = Outcome::Unknown;
        return decision;
    }
    if (target == nullptr) {
        decision.outcome = Outcome::NotApplicable;
        return decision;
    }
    const DeviceInventory& inventory = target->inventory;
    decision.drive = target->number;
    if (inventory.extCsd.empty()) {
        // Without the register nothing is known of the firmware, and Quillon would refuse the device.
        decision.outcome = Outcome::DeviceRefused;
        return decision;
    }
    PackageManifest::FirmwareVersion version{};
    std::copy_n(inventory.extCsd.begin() + ExtCsd::FIRMWARE_VERSION, version.size(), version.begin());
    decision.version = version;
    if (version == manifest.TargetVersion()) {
        decision.outcome = Outcome::AlreadyCurrent;
    } else if (situation.installedInBoot == situation.boot) {
        decision.outcome = Outcome::PendingRestart;
    } else if (!manifest.MayReplace(version)) {
        decision.outcome = Outcome::NotReplaceable;
    } else if (!inventory.verdict.refusal.empty()) {
        decision.outcome = Outcome::DeviceRefused;
    } else if (PlanPackage(inventory, static_cast<std::uint32_t>(manifest.ImageLength())).failure) {
        decision.outcome = Outcome::PackageRefused;
    } else if (!situation.onAcPower &&
               situation.batteryPercent.value_or(0) < manifest.MinimumBatteryPercent()) {
        decision.outcome = Outcome::BatteryLow;
    } else if (situation.attempts >= MAXIMUM_ATTEMPTS) {
        decision.outcome = Outcome::AttemptsExhausted;
    } else {
        decision.outcome = Outcome::Install;
    }
    return decision;
}
