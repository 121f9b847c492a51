#include "device/class_driver_cache.h"

#include <utility>

using ClassDriver::Refusal;
using ClassDriver::Status;

std::optional<ClassDriverCache::Failure> ClassDriverCache::Refresh(const AskDevice& ask) {
    if (support == Support::NotSupported) {
        return Failure{{ClassDriver::LastError(Status::NotImplemented),
                        "the device is marked as having no firmware information"},
                       false};
    }
    Answer answer = ask();
    if (answer.error) {
        const auto status = ClassDriver::StatusGiving(*answer.error);
        if (status && ClassDriver::LowerLayerNotSupport(*status) && support == Support::Unknown) {
            support = Support::NotSupported;
        }
        return Failure{{*answer.error, "the device failed the class driver's information query"}, true};
    }
    if (const auto refusal = ClassDriver::GetHwFirmwareInfo(answer.report, maxTransferLength)) {
        if (support == Support::Unknown) {
            support = Support::NotSupported;
        }
        return Failure{*refusal, false};
    }
    support = Support::Supported;
    report = std::move(answer.report);
    return std::nullopt;
}

std::variant<Refusal, const std::vector<std::uint8_t>*> ClassDriverCache::ForRequest(const AskDevice& ask) {
    if (support != Support::Supported) {
        if (const auto failure = Refresh(ask)) {
            return failure->refusal;
        }
    }
    return &report;
}
