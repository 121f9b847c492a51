#include "deploy/deploy_decision.h"

#include "device/ext_csd.h"

#include <algorithm>

DiskIdentity DiskIdentityOf(const DriveIdentity& identity) {
    return {identity.BusType(), identity.Trimmed(DriveIdentity::Text::Vendor),
            identity.Trimmed(DriveIdentity::Text::Product),
            identity.Trimmed(DriveIdentity::Text::ProductRevision)};
}

DeployDecision DeployDecision::Decide(const PackageManifest& manifest, const DeploySituation& situation) {
    DeployDecision decision;
    const DiscoveredDrive* target = nullptr;
    for (const DiscoveredDrive& drive : situation.drives) {
        const DeviceInventory& inventory = drive.inventory;
        if (!inventory.openFailure && manifest.Names(DiskIdentityOf(inventory.identity), inventory.extCsd)) {
            if (target != nullptr) {
                decision.outcome = Outcome::Ambiguous;
                return decision;
            }
            target = &drive;
        }
    }
    if (target == nullptr) {
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
