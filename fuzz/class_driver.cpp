// Windows' disk class driver's checks: the firmware information as the device reported it, and the download
// and activation requests judged against it.
#include "device/class_driver.h"
#include "device/class_driver_cache.h"
#include "device/storage_firmware.h"
#include "fuzz/fuzz_check.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace StorageFirmware;

namespace {

// The entry of the slot table that has the number, reading zeros beyond what the device reported.
const STORAGE_HW_FIRMWARE_SLOT_INFO* Entry(const std::vector<std::uint8_t>& info, std::uint8_t number,
                                           STORAGE_HW_FIRMWARE_SLOT_INFO& slot) {
    std::vector<std::uint8_t> table(info);
    table.resize(FIRMWARE_INFO_REPLY_SIZE);
    for (std::size_t i = 0; i < table[offsetof(STORAGE_HW_FIRMWARE_INFO, SlotCount)]; ++i) {
        std::memcpy(&slot, table.data() + sizeof(STORAGE_HW_FIRMWARE_INFO) + i * sizeof(slot), sizeof(slot));
        if (slot.SlotNumber == number) {
            return &slot;
        }
    }
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto maxTransferLength = input.ConsumeIntegral<std::uint32_t>();
    const bool knownTransferLength = input.ConsumeBool();
    const bool activation = input.ConsumeBool();
    const bool cached = input.ConsumeBool();
    // The device fails the class driver's information query with this last error, or answers with the reply.
    const auto deviceError =
        input.ConsumeBool() ? std::optional(input.ConsumeIntegral<std::uint32_t>()) : std::nullopt;
    // Exactly the bytes of each buffer, so that the sanitizers see a read beyond them.
    const std::vector<std::uint8_t> request =
        input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 128));
    const std::vector<std::uint8_t> reply = input.ConsumeRemainingBytes<std::uint8_t>();

    for (const auto status : {ClassDriver::Status::Unsuccessful, ClassDriver::Status::NotImplemented,
                              ClassDriver::Status::InfoLengthMismatch, ClassDriver::Status::InvalidParameter,
                              ClassDriver::Status::BufferTooSmall, ClassDriver::Status::NotSupported}) {
        Fuzz::Check(ClassDriver::StatusGiving(ClassDriver::LastError(status)) == status,
                    "a status is known again by its last error");
    }
    const auto length = static_cast<std::uint32_t>(reply.size());
    Fuzz::Check(ClassDriver::GetInfoProcess(16, length).has_value() == (length < FIRMWARE_INFO_WITH_ONE_SLOT),
                "the information query needs room for one slot");
    const auto infoRefusal = ClassDriver::GetHwFirmwareInfo(reply, maxTransferLength);
    // Only a report that the class driver takes is cached, as much of it as its Size says.
    std::vector<std::uint8_t> info(reply);
    if (!infoRefusal) {
        info.resize(ClassDriver::InfoReplyLength(reply, length));
        Fuzz::Check(info.size() >= std::min<std::size_t>(length, FIRMWARE_INFO_WITH_ONE_SLOT),
                    "a report taken holds its fixed part and a slot");
    }
    ClassDriverCache cache(maxTransferLength);
    const ClassDriverCache::AskDevice ask = [&] {
        return ClassDriverCache::Answer{deviceError, reply};
    };
    if (cached) {
        const auto failure = cache.Refresh(ask);
        Fuzz::Check(failure.has_value() == (deviceError.has_value() || infoRefusal.has_value()) &&
                        (failure || cache.Report() == reply),
                    "an information request caches the report that the class driver takes, and only that");
    }
    const ClassDriver::CachedInfo cachedInfo = [&] {
        return cache.ForRequest(ask);
    };
    const auto inputLength = static_cast<std::uint32_t>(request.size());
    const void* bytes = request.empty() ? nullptr : request.data();

    if (activation) {
        const auto refusal = ClassDriver::ActivateProcess(bytes, inputLength, cachedInfo);
        if (!refusal) {
            STORAGE_HW_FIRMWARE_ACTIVATE fields{};
            std::memcpy(&fields, request.data(), sizeof(fields));
            STORAGE_HW_FIRMWARE_SLOT_INFO slot{};
            Fuzz::Check(fields.Size <= inputLength &&
                            ((fields.Flags & STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER) != 0 ||
                             Entry(cache.Report(), fields.Slot, slot) != nullptr),
                        "an activation that goes down names a slot of the table");
        }
        return 0;
    }
    const auto refusal =
        ClassDriver::DownloadProcess(bytes, inputLength, cachedInfo,
                                     knownTransferLength ? std::optional(maxTransferLength) : std::nullopt);
    if (!refusal) {
        STORAGE_HW_FIRMWARE_DOWNLOAD fields{};
        std::memcpy(&fields, request.data(), sizeof(fields));
        Fuzz::Check(inputLength >= STORAGE_HW_FIRMWARE_DOWNLOAD_VERSION && fields.Size <= inputLength &&
                        fields.BufferSize + DOWNLOAD_HEADER_SIZE <= fields.Size,
                    "a download that goes down carries its payload");
        if ((fields.Flags & STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER) == 0) {
            STORAGE_HW_FIRMWARE_INFO fixed{};
            const std::vector<std::uint8_t>& report = cache.Report();
            std::memcpy(&fixed, report.data(), std::min(report.size(), sizeof(fixed)));
            STORAGE_HW_FIRMWARE_SLOT_INFO slot{};
            Fuzz::Check(report == reply && (fixed.SupportUpgrade & SUPPORT_UPGRADE) != 0 &&
                            Entry(report, fields.Slot, slot) != nullptr &&
                            (slot.ReadOnly & SLOT_READ_ONLY) == 0 && fields.BufferSize > 0 &&
                            fields.BufferSize % fixed.ImagePayloadAlignment == 0 &&
                            fields.Offset % fixed.ImagePayloadAlignment == 0 &&
                            fields.BufferSize <= fixed.ImagePayloadMaxSize &&
                            (!knownTransferLength || fields.BufferSize <= maxTransferLength) &&
                            fields.Offset <= ClassDriver::WRITE_BUFFER_FIELD_MAX &&
                            fields.BufferSize <= ClassDriver::WRITE_BUFFER_FIELD_MAX,
                        "a download that goes down fits the device's report and the SCSI command");
        }
    }
    return 0;
}
