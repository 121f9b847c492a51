#pragma once

#include "device/class_driver.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <variant>
#include <vector>

// What Windows' disk class driver keeps of a disk's firmware information from one request to the next, as
// classpnp's ClasspGetHwFirmwareInfo keeps it in HwFirmwareGetInfoSupport and HwFirmwareInfo: the last
// report that it accepted, and whether the device is marked as having no firmware information. The mark
// is set only while no report was ever accepted, and never cleared until the disk starts anew; once a
// report was accepted, a failed or refused one leaves the earlier report in the cache.
class ClassDriverCache {
public:
    // How the device answered the class driver's information query: its failure, as the last error that its
    // status gives, or its report.
    struct Answer {
        std::optional<std::uint32_t> error;
        std::vector<std::uint8_t> report;
    };
    using AskDevice = std::function<Answer()>;

    // Why an information request fails: the refusal, and whether it is the device's own failure, which the
    // class driver passes on, rather than the class driver's.
    struct Failure {
        ClassDriver::Refusal refusal;
        bool byDevice;
    };

    explicit ClassDriverCache(std::uint32_t maxTransferLength) : maxTransferLength(maxTransferLength) {}

    // ClassDeviceHwFirmwareGetInfoProcess past its length checks, for the device's own firmware: the class
    // driver asks the device afresh, in case its firmware changed, unless the device is marked as having no
    // firmware information. None when Report() holds the device's fresh report.
    std::optional<Failure> Refresh(const AskDevice& ask);
    // The cached report that a download or an activation is checked against, asked for first when there is
    // none: what ClassDriver::CachedInfo gives.
    std::variant<ClassDriver::Refusal, const std::vector<std::uint8_t>*> ForRequest(const AskDevice& ask);
    // The report last accepted; empty before the first.
    const std::vector<std::uint8_t>& Report() const { return report; }

private:
    enum class Support { Unknown, Supported, NotSupported };

    Support support = Support::Unknown;
    std::vector<std::uint8_t> report;
    std::uint32_t maxTransferLength;
};
