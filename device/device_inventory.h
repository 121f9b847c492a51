#pragma once

#include "device/drive_identity.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the read requests learned of one device (Quillon's three and the two identity queries), and what
// Quillon would do with it.
struct DeviceInventory {
    struct Failure {
        std::uint32_t code = 0;
        // The system's text for the code, without its line end.
        std::string text;
    };
    // What Quillon would do, decided by the device layer's own rules in the order of Quillon's run.
    struct Verdict {
        // The line Quillon would end with, exactly as it writes it (8-bit, with its line end); empty when
        // Quillon would update the device.
        std::string refusal;
        std::uint8_t slot = 0;
        std::uint32_t segmentSize = 0;
    };

    std::wstring drivePath;
    std::optional<Failure> openFailure;
    // 512 bytes, or empty when the register was not read.
    std::vector<std::uint8_t> extCsd;
    std::optional<Failure> extCsdFailure;
    // The whole reply buffer, or empty when the information was not received.
    std::vector<std::uint8_t> firmwareInfo;
    std::optional<Failure> firmwareInfoFailure;
    // What Windows says of the disk; its failures, with their texts, also below.
    DriveIdentity identity;
    std::optional<Failure> deviceDescriptorFailure;
    std::optional<Failure> adapterDescriptorFailure;
    Verdict verdict;
};

// Opens the drive as Quillon does and sends the EXT_CSD read and the firmware information query, each
// with exactly Quillon's layout, then the two storage property queries, nothing else; a failed request is
// recorded and the next one still sent.
DeviceInventory TakeInventory(const std::wstring& drivePath);

// How Quillon would send a package of this length to the device.
struct PackagePlan {
    // The first download request that Windows' class driver would refuse; Quillon then sends nothing more
    // and ends with a failed download.
    struct Failure {
        // Counting from 1.
        std::uint32_t request = 0;
        std::uint32_t offset = 0;
        DeviceInventory::Failure error;
        // Which of the class driver's checks refuses it.
        std::string reason;
    };

    std::uint32_t length = 0;
    // The offsets of the download requests; empty when the device would not take an update.
    std::vector<std::uint32_t> offsets;
    std::optional<Failure> failure;
    // Whether the length is a multiple of the device's payload alignment; unknown without the firmware
    // information or with an alignment of 0.
    std::optional<bool> aligned;
};
PackagePlan PlanPackage(const DeviceInventory& inventory, std::uint32_t length);
