#include "device/class_driver_cache.h"
#include "device/storage_firmware.h"
#include "sim/crc32.h"
#include "sim/device_description.h"

#ifdef _WIN32
#include "device/virtual_allocator.h"
#include "sim/simulated_device.h"
#endif

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace StorageFirmware;

namespace {

TEST(Crc32, IsZlibsChecksumFedInPieces) {
    const auto* digits = reinterpret_cast<const std::uint8_t*>("123456789");
    EXPECT_EQ(Crc32::Of(digits, 9), 0xCBF43926u);
    EXPECT_EQ(Crc32::Of(digits, 0), 0u);
    Crc32 pieces;
    pieces.Update(digits, 4);
    pieces.Update(digits + 4, 5);
    EXPECT_EQ(pieces.Value(), 0xCBF43926u);
}

TEST(DeviceDescription, RefusesAMistakeNamingItsLine) {
    const std::pair<const char*, std::size_t> cases[] = {
        {"colour = blue", 1},
        {"drive = 10", 1},
        {"\n\ndrive 1", 3},
        {"drive = 1\ndrive = 2", 2},
        {"ext_csd_rev = 256", 1},
        {"ext_csd_filled = 513", 1},
        {"support_upgrade = 256", 1},
        {"slots = 1 rw", 1},
        {"slots = 1 ro:256", 1},
        {"slots = 1,", 1},
        {"download_error = 0:5", 1},
        {"download_error = 5", 1},
        {"alignment = -1", 1},
        {"max_payload = 0x", 1},
        {"open_error = 0x1FFFFFFFF", 1},
    };
    for (const auto& [text, line] : cases) {
        SCOPED_TRACE(text);
        try {
            DeviceDescription::Parse(text);
            ADD_FAILURE() << "accepted";
        } catch (const DescriptionError& error) {
            EXPECT_EQ(error.Line(), line);
        }
    }
}

// The class driver marks a device as having no firmware information only while it has accepted no report of
// it; once it has one, a refused report or any failure of the device fails that request alone, the cache
// keeps the accepted report for downloads and activations, and the next request asks the device again.
TEST(ClassDriverCache, KeepsAnAcceptedReportThroughLaterFailures) {
    const auto report = [](std::uint8_t slotCount, std::uint8_t pendingSlot) {
        std::vector<std::uint8_t> bytes(FIRMWARE_INFO_WITH_ONE_SLOT);
        const STORAGE_HW_FIRMWARE_INFO info{56, 56, 1, slotCount, 1, pendingSlot, 0, {}, 512, 65536};
        const STORAGE_HW_FIRMWARE_SLOT_INFO slot{32, 32, 1, 0, {}, {}};
        std::memcpy(bytes.data(), &info, sizeof(info));
        std::memcpy(bytes.data() + sizeof(info), &slot, sizeof(slot));
        return bytes;
    };
    const std::vector<ClassDriverCache::Answer> answers = {
        {std::nullopt, report(1, 0xFF)},
        {std::nullopt, report(0, 0xFF)},
        {ClassDriver::LastError(ClassDriver::Status::NotSupported), {}},
        {std::nullopt, report(1, 1)}};
    std::size_t asked = 0;
    const ClassDriverCache::AskDevice ask = [&] {
        return answers.at(asked++);
    };
    ClassDriverCache cache(65536);
    const auto cached = [&] {
        const auto info = cache.ForRequest(ask);
        return std::holds_alternative<const std::vector<std::uint8_t>*>(info) &&
               *std::get<const std::vector<std::uint8_t>*>(info) == answers[0].report;
    };

    EXPECT_FALSE(cache.Refresh(ask));
    const auto refused = cache.Refresh(ask);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->refusal.error, ClassDriver::LastError(ClassDriver::Status::Unsuccessful));
    EXPECT_FALSE(refused->byDevice);
    EXPECT_TRUE(cached());
    const auto failed = cache.Refresh(ask);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->refusal.error, ClassDriver::LastError(ClassDriver::Status::NotSupported));
    EXPECT_TRUE(failed->byDevice);
    EXPECT_TRUE(cached());
    EXPECT_FALSE(cache.Refresh(ask));
    EXPECT_EQ(cache.Report(), answers[3].report);
    EXPECT_EQ(asked, answers.size());
}

#ifdef _WIN32
// A tool that breaks the protocol must never see success from the simulated device.
TEST(SimulatedDevice, RefusesMalformedRequests) {
    // A request of `length` payload bytes and `padding` bytes more than its header says.
    const auto download = [](SimulatedDevice& device, HANDLE drive, std::uint32_t flags, std::uint64_t offset,
                             std::uint32_t length, std::uint32_t size, std::uint8_t slot = 1,
                             std::uint32_t padding = 0) {
        std::vector<std::uint8_t> request(DOWNLOAD_HEADER_SIZE + length + padding);
        const STORAGE_HW_FIRMWARE_DOWNLOAD header{40, size, flags, slot, {}, offset, length};
        std::memcpy(request.data(), &header, sizeof(header));
        const auto requestLength = static_cast<DWORD>(request.size());
        return device.DownloadFirmware(drive, request.data(), requestLength, request.data(), requestLength);
    };
    const auto activate = [](SimulatedDevice& device, HANDLE drive, std::uint8_t slot) {
        STORAGE_HW_FIRMWARE_ACTIVATE request{16, 16, 0, slot, {}};
        return device.ActivateFirmware(drive, &request, 16, &request, 16);
    };
    // Each request passes Windows' class driver, which checks less: only the device model refuses them.
    const struct {
        const char* name;
        std::function<BOOL(SimulatedDevice&, HANDLE)> requests;
        DWORD error;
    } cases[] = {
        {"first segment not at 0", [&](auto& d, HANDLE h) { return download(d, h, 2, 512, 512, 544); },
         ERROR_INVALID_PARAMETER},
        {"gap between segments",
         [&](auto& d, HANDLE h) {
             return download(d, h, 0, 0, 512, 544) && download(d, h, 2, 1024, 512, 544);
         },
         ERROR_INVALID_PARAMETER},
        {"size field not the request length",
         [&](auto& d, HANDLE h) { return download(d, h, 2, 0, 512, 544, 1, 512); }, ERROR_INVALID_PARAMETER},
        {"controller flag", [&](auto& d, HANDLE h) { return download(d, h, 1 | 2, 0, 512, 544); },
         ERROR_INVALID_PARAMETER},
        {"above 65536 bytes", [&](auto& d, HANDLE h) { return download(d, h, 2, 0, 65536, 65568); },
         ERROR_INVALID_PARAMETER},
        {"activation before a last segment",
         [&](auto& d, HANDLE h) { return download(d, h, 0, 0, 512, 544) && activate(d, h, 1); },
         ERROR_INVALID_PARAMETER},
        {"activation of another slot",
         [&](auto& d, HANDLE h) { return download(d, h, 2, 0, 512, 544) && activate(d, h, 2); },
         ERROR_INVALID_PARAMETER},
        {"activation of a read-only slot", [&](auto& d, HANDLE h) { return activate(d, h, 0); },
         ERROR_INVALID_PARAMETER},
        {"closed drive",
         [&](auto& d, HANDLE h) {
             d.Close(h);
             return download(d, h, 2, 0, 512, 544);
         },
         ERROR_INVALID_HANDLE},
    };
    for (const auto& [name, requests, error] : cases) {
        SCOPED_TRACE(name);
        DeviceDescription description;
        description.slots = {{0, true}, {1, false}, {2, false}};
        // A driver that reports more than it may take: only the 65536-byte cap refuses the large request.
        description.maxPayload = 131072;
        SimulatedDevice device(description, RequestTrace::InMemory());
        const HANDLE drive = device.Open(L"\\\\.\\PhysicalDrive0");
        ASSERT_NE(drive, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(requests(device, drive));
        EXPECT_EQ(GetLastError(), error);
        // Only the last request fails, and the device refuses it; the ones before it were well-formed.
        const auto& trace = device.Trace().Lines();
        ASSERT_GE(trace.size(), 2u);
        for (std::size_t i = 0; i + 1 < trace.size(); ++i) {
            EXPECT_EQ(trace[i].substr(trace[i].size() - 3), " ok") << trace[i];
        }
        EXPECT_EQ(trace.back().find("class driver"), std::string::npos) << trace.back();
    }
}

TEST(VirtualAllocator, GivesPageAlignedMemoryOrThrows) {
    std::vector<std::uint8_t, VirtualAllocator<std::uint8_t>> buffer(65056);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % 4096, 0u);
    EXPECT_EQ(buffer[65055], 0);
    VirtualAllocator<std::uint64_t> allocator;
    // A count whose byte size overflows, and the largest count whose byte size does not: that is nearly the
    // whole address space, 32-bit or 64-bit, so VirtualAlloc itself refuses it.
    EXPECT_THROW(allocator.allocate(static_cast<std::size_t>(-1) / 4), std::bad_alloc);
    EXPECT_THROW(allocator.allocate(static_cast<std::size_t>(-1) / sizeof(std::uint64_t)), std::bad_alloc);
}
#endif

} // namespace
