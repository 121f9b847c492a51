// A thousand runs of quillon-sim.exe one after the other in one folder and one Wine prefix, each on a random
// device from the generator, with a bad command line or a missing package now and then: every exit code,
// log and request trace as the outcome rules say, no run refused as already running, and no drive handle
// left open (the simulated device reports one on standard error when the process ends).
//
//   quillon_soak_tests.exe [--runs=N] [--seed=N]   N runs from a base seed (1000 from 1)

#include "tests/random/random_device.h"
#include "tests/random/update_oracle.h"
#include "tests/support/files.h"
#include "tests/support/number_argument.h"
#include "tests/support/tool_run.h"
#include "tests/support/tool_texts.h"
#include "tests/support/trace_lines.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <optional>
#include <string>

using namespace TestSupport;

namespace {

std::uint64_t runs = 1000;
std::uint64_t baseSeed = 1;

struct Expected {
    DWORD exitCode;
    std::string log;
    std::string trace;
};

// The whole record of a run on the device: the banner, the device phase, the restart notice after a
// success.
Expected OnDevice(const RandomDevice& device) {
    const ExpectedUpdate update = ExpectUpdate(device, ImageOf(device.imageLength));
    const std::string closing = update.log.empty() ? update.closing : update.log;
    return {update.result ? 0u : 1u, TextMode(BANNER + closing + (update.result ? RESTART : "")),
            Trace::File(update.trace)};
}

TEST(RunsInARow, EveryRunEndsAsTheRulesSay) {
    TempDirectory directory;
    const auto started = std::chrono::steady_clock::now();
    std::uint64_t held = 0;
    std::uint64_t refused = 0;
    std::uint64_t reported = 0;
    for (std::uint64_t run = 0; run < runs; ++run) {
        const std::uint64_t seed = baseSeed << 32 ^ run;
        const RandomDevice device = RandomDevice::FromSeed(seed);
        ToolLaunch launch{L"/T:1 /D:package.ffu", device.Description()};
        Expected expected{};
        switch (run % 25) {
        case 7:
            launch.arguments = L"/T:1";
            expected = {8, TextMode(BANNER + USAGE), ""};
            break;
        case 19:
            launch.arguments = L"/T:1 /D:missing.ffu";
            expected = {8, TextMode(BANNER + "Quillon: could not open file 'missing.ffu'\n"), ""};
            break;
        default:
            WriteBytes(directory / L"package.ffu", std::string(ImageOf(device.imageLength)));
            expected = OnDevice(device);
        }
        const ToolRun result = RunTool(directory, launch);
        if (result.log.find("already running") != std::string::npos) {
            ++refused;
        }
        if (result.exitCode == expected.exitCode && result.log == expected.log &&
            result.trace == expected.trace && result.errors.empty()) {
            ++held;
        } else if (++reported <= 5) {
            ADD_FAILURE() << "run " << run + 1
                          << " (its device in process: quillon_random_device_tests.exe --case=0x" << std::hex
                          << seed << std::dec << ") ended with " << result.exitCode << ", the rules say "
                          << expected.exitCode << "\nlog:\n"
                          << result.log << "\nthe rules say:\n"
                          << expected.log << "\ntrace:\n"
                          << result.trace << "the rules say:\n"
                          << expected.trace << "standard error:\n"
                          << result.errors << "\ndevice:\n"
                          << launch.description << "image: " << device.imageLength << " bytes";
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "runs in a row: " << runs << " runs, " << held << " held, " << refused
              << " refused as already running, " << seconds << " s" << std::endl;
    EXPECT_EQ(held, runs);
    EXPECT_EQ(refused, 0u);
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        try {
            if (const auto count = NumberArgument(argument, "--runs=")) {
                runs = *count;
            } else if (const auto seed = NumberArgument(argument, "--seed=")) {
                baseSeed = *seed;
            } else {
                throw std::invalid_argument(argument);
            }
        } catch (const std::exception&) {
            std::cerr << "usage: " << argv[0] << " [--runs=N] [--seed=N]\n";
            return 2;
        }
    }
    return RUN_ALL_TESTS();
}
