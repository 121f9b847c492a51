// Random devices against the device phase of the tool, in process over the simulated storage driver: each
// case draws a whole device behaviour and an image from its seed, runs eMMC on it as the program driver
// does, and holds what happened against the outcome rules (the oracle) and against the promises that hold
// for every device.
//
//   quillon_random_device_tests.exe [--cases=N] [--seed=N]   N cases from a base seed (100000 from 1)
//   quillon_random_device_tests.exe --case=SEED              the one case a failure names

#include "device/emmc.h"
#include "diag/logger.h"
#include "sim/simulated_machine.h"
#include "tests/random/random_device.h"
#include "tests/random/update_oracle.h"
#include "tests/support/number_argument.h"
#include "tests/support/tool_texts.h"
#include "tests/support/trace_lines.h"
#include "win32/unique_handle.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

using namespace TestSupport;

namespace {

const std::wstring& LogPath() {
    static const std::wstring path = [] {
        std::array<wchar_t, MAX_PATH + 1> temp{};
        GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
        return std::wstring(temp.data()) + L"quillon-random-" + std::to_wstring(GetCurrentProcessId()) +
               L".log";
    }();
    return path;
}

} // namespace

Logger* const logger = [] {
    auto* created = new Logger(LogFile(LogPath()), false);
    // Registration cannot fail this early: the C runtime keeps room for at least 32 handlers.
    static_cast<void>(std::atexit([] {
        delete logger;
        DeleteFileW(LogPath().c_str());
    }));
    return created;
}();

namespace {

struct Options {
    std::uint64_t cases = 100000;
    std::uint64_t seed = 1;
    std::optional<std::uint64_t> replay;
} options;

// The Logger's file as it grows: each call gives the bytes written since the last one, so that a case
// costs the length of its own log however many came before.
class LogTail {
public:
    LogTail()
        : file(CreateFileW(LogPath().c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr)) {}

    std::string Next() {
        std::string bytes;
        std::array<char, 65536> block;
        DWORD read = 0;
        while (ReadFile(file.Get(), block.data(), static_cast<DWORD>(block.size()), &read, nullptr) &&
               read != 0) {
            bytes.append(block.data(), read);
        }
        return bytes;
    }

private:
    Win32::UniqueHandle file;
};

struct Observed {
    bool result = false;
    std::string log;
    std::string exception;
    std::vector<std::string> trace;
    SimulatedDevice::Download received;
    std::size_t openDrives = 0;
};

// What the program driver does in its device phase: open, ask, update only after a yes; an exception's
// text is its last word.
Observed RunDevicePhase(const RandomDevice& device, std::string_view image, LogTail& log) {
    SimulatedMachine::Install(DeviceDescription::Parse(device.Description()), RequestTrace::InMemory());
    const std::vector<std::uint8_t> bytes(image.begin(), image.end());
    Observed observed;
    try {
        const eMMC emmc(L"\\\\.\\PhysicalDrive1");
        observed.result = emmc.CanUpdateFirmware() && emmc.UpdateFirmware(bytes);
    } catch (const std::exception& error) {
        observed.exception = error.what();
    }
    observed.log = log.Next();
    const SimulatedMachine& simulated = SimulatedMachine::Current();
    observed.trace = simulated.Trace().Lines();
    observed.received = simulated.Device(1)->Received();
    observed.openDrives = simulated.OpenDriveCount();
    return observed;
}

// The number after ` name=` in a request line.
std::uint64_t Field(const std::string& line, std::string_view name) {
    for (std::size_t at = line.find(name); at != std::string::npos; at = line.find(name, at + 1)) {
        if (at > 0 && line[at - 1] == ' ' && line.compare(at + name.size(), 1, "=") == 0) {
            return std::strtoull(line.c_str() + at + name.size() + 1, nullptr, 10);
        }
    }
    return ~0ull;
}

bool Failed(const std::string& line) {
    return line.find(" error 0x") != std::string::npos;
}

std::string Hex(std::uint64_t value) {
    char text[19];
    // Eighteen characters and the terminator: the text always fits.
    static_cast<void>(std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(value)));
    return text;
}

// Every way the run departs from the oracle or breaks a promise of the tool, one line each.
std::vector<std::string> Violations(std::string_view image, const ExpectedUpdate& expected,
                                    const Observed& observed) {
    std::vector<std::string> found;
    // The words are put together only for a promise that does not hold.
    const auto check = [&found](bool holds, const auto& words) {
        if (!holds) {
            found.push_back(words());
        }
    };
    check(observed.result == expected.result, [&] {
        return std::string("result ") + (observed.result ? "true" : "false") + ", the rules say " +
               (expected.result ? "true" : "false");
    });
    const std::string log = TextMode(expected.log);
    check(observed.log == log,
          [&] { return "the log differs; it is:\n" + observed.log + "\nthe rules say:\n" + log; });
    const bool openFailed = expected.log.empty();
    check(observed.exception == (openFailed ? expected.closing : std::string()),
          [&] { return "the exception text is '" + observed.exception + "'"; });
    const std::string none = "(none)";
    for (std::size_t i = 0; i < std::max(observed.trace.size(), expected.trace.size()); ++i) {
        const std::string& seen = i < observed.trace.size() ? observed.trace[i] : none;
        const std::string& due = i < expected.trace.size() ? expected.trace[i] : none;
        if (seen != due) {
            std::string difference = "request " + std::to_string(i + 1) + " is: ";
            difference += seen;
            difference += "\n  the rules say: ";
            difference += due;
            found.push_back(difference);
            break;
        }
    }

    // The promises, from what the device saw alone.
    const auto& trace = observed.trace;
    static const std::vector<std::string> closingTexts = [] {
        std::vector<std::string> texts;
        for (const std::string* text :
             {&UPDATED, &UPDATED_REBOOT_REQUIRED, &UNKNOWN_ERROR, &NO_UPGRADE, &NO_FREE_SLOT,
              &UNUSABLE_PAYLOAD, &BAD_IMAGE, &DOWNLOAD_FAILED, &BAD_SLOT, &VERSION_TOO_OLD, &MODE_UNSUPPORTED,
              &FFU_DISABLED, &GENERAL_FAILURE}) {
            texts.push_back(TextMode(*text));
        }
        return texts;
    }();
    std::size_t closings = 0;
    for (const std::string& text : closingTexts) {
        for (std::size_t at = observed.log.find(text); at != std::string::npos;
             at = observed.log.find(text, at + 1)) {
            ++closings;
        }
    }
    check(closings == (openFailed ? 0u : 1u), [&] { return std::to_string(closings) + " closing messages"; });
    std::uint64_t nextOffset = 0;
    std::size_t downloads = 0;
    bool downloadFailed = false;
    for (std::size_t i = 0; i < trace.size(); ++i) {
        const std::string& line = trace[i];
        check(i + 1 == trace.size() || !Failed(line),
              [&] { return "a request after a failed one: " + line; });
        check(!downloadFailed || line.rfind("activate ", 0) != 0,
              [] { return std::string("an activation after a failed download"); });
        if (line.rfind("download ", 0) != 0) {
            continue;
        }
        ++downloads;
        downloadFailed = Failed(line);
        const bool lastSent = i + 1 == trace.size() || trace[i + 1].rfind("download ", 0) != 0;
        check(Field(line, "offset") == nextOffset, [&] { return "a segment out of order: " + line; });
        check(Field(line, "in") <= 65536, [&] { return "a request above 65536 bytes: " + line; });
        check(Field(line, "flags") == (lastSent ? 2u : 0u) || (downloadFailed && Field(line, "flags") == 0),
              [&] { return "the last-segment flag on another segment, or other flags: " + line; });
        check(lastSent || Field(line, "length") == expected.segmentSize,
              [&] { return "a short segment before the last: " + line; });
        check(Field(line, "slot") == expected.slot,
              [&] { return "a segment for another slot than the first writable: " + line; });
        nextOffset += Field(line, "length");
    }
    if (observed.result) {
        const std::string& activation = trace.empty() ? std::string() : trace.back();
        check(activation.rfind("activate ", 0) == 0 &&
                  (!Failed(activation) || activation.find("error 0x00030207") != std::string::npos),
              [&] { return "success without an activation that reported one: " + activation; });
        check(downloads != 0 && nextOffset == image.size(),
              [] { return std::string("success without the whole image sent"); });
        const SimulatedDevice::Download& received = observed.received;
        check(received.complete && received.length == image.size() &&
                  received.crc32 == ImageCrc32(static_cast<std::uint32_t>(image.size())) &&
                  received.slot == expected.slot,
              [&] {
                  return "success, but the device holds " + std::to_string(received.length) +
                         " bytes with CRC-32 " + Hex(received.crc32) + " in slot " +
                         std::to_string(received.slot);
              });
    }
    check(observed.openDrives == 0,
          [&] { return std::to_string(observed.openDrives) + " drive handles left open"; });
    return found;
}

std::uint64_t CaseSeed(std::uint64_t index) {
    return options.seed << 32 ^ index;
}

TEST(RandomDevices, EveryOutcomeFollowsTheRules) {
    LogTail log;
    log.Next();
    const std::uint64_t cases = options.replay ? 1 : options.cases;
    std::uint64_t held = 0;
    std::uint64_t reported = 0;
    for (std::uint64_t index = 0; index < cases; ++index) {
        const std::uint64_t seed = options.replay ? *options.replay : CaseSeed(index);
        const RandomDevice device = RandomDevice::FromSeed(seed);
        const std::string_view image = ImageOf(device.imageLength);
        const ExpectedUpdate expected = ExpectUpdate(device, image);
        const std::vector<std::string> violations =
            Violations(image, expected, RunDevicePhase(device, image, log));
        if (violations.empty()) {
            ++held;
            continue;
        }
        if (++reported <= 5) {
            std::string report =
                "case " + std::to_string(index + 1) + ", seed " + Hex(seed) + ", breaks the rules:\n";
            for (const std::string& violation : violations) {
                report += "  " + violation + "\n";
            }
            report += "device:\n" + device.Description() + "image: " + std::to_string(device.imageLength) +
                      " bytes\nreplay, in the repository: cmake/wine-run $PWD/build/x64/wine-prefix "
                      "build/x64/bin/quillon_random_device_tests.exe --case=" +
                      Hex(seed);
            ADD_FAILURE() << report;
        }
    }
    std::cout << "random devices: " << cases << " cases, " << held << " held" << std::endl;
    EXPECT_EQ(held, cases);
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        try {
            if (const auto cases = NumberArgument(argument, "--cases=")) {
                options.cases = *cases;
            } else if (const auto seed = NumberArgument(argument, "--seed=")) {
                options.seed = *seed;
            } else if (const auto replay = NumberArgument(argument, "--case=")) {
                options.replay = *replay;
            } else {
                throw std::invalid_argument(argument);
            }
        } catch (const std::exception&) {
            std::cerr << "usage: " << argv[0] << " [--cases=N] [--seed=N] [--case=SEED]\n";
            return 2;
        }
    }
    return RUN_ALL_TESTS();
}
