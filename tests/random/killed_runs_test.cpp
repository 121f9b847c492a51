// quillon-sim.exe updating a device with a package of several MiB, ended by TerminateProcess at random
// moments from its start to its last segment, again and again in one folder: the log on disk is always a
// beginning of the whole run's log that ends at a line end, the killed run's single-instance guard is gone,
// and the next run in the folder starts as if nothing had happened.

#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/tool_run.h"
#include "tests/support/tool_texts.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <random>
#include <thread>
#include <vector>

using namespace TestSupport;

namespace {

constexpr int KILLED_RUNS = 60;
// 12 MiB: 194 segments of 65024 bytes.
constexpr std::size_t PACKAGE_LENGTH = 12 << 20;

std::size_t Lines(const std::string& log) {
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
}

TEST(KilledRuns, LeaveWholeLinesOfTheRunAndNoGuard) {
    TempDirectory directory;
    WriteBytes(directory / L"package.ffu", PatternBytes(PACKAGE_LENGTH));
    const ToolLaunch launch{L"/T:1 /D:package.ffu", "drive = 1\n"};

    const auto started = std::chrono::steady_clock::now();
    const ToolRun whole = RunTool(directory, launch);
    const auto runTime = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(whole.exitCode, 0u) << whole.log;
    const std::size_t banner = Lines(TextMode(BANNER));
    const std::size_t downloadStart = banner + 3;
    ASSERT_EQ(Lines(whole.log), downloadStart + 194 + 3) << whole.log;

    // The last fifth of a whole run is the closing lines and the process's own end.
    std::mt19937 draw(20261208);
    const auto runMicroseconds = std::chrono::duration_cast<std::chrono::microseconds>(runTime).count();
    std::uniform_int_distribution<long long> moment(0, runMicroseconds * 4 / 5);
    int held = 0;
    int beforeLog = 0;
    int beforeDownload = 0;
    int afterDownload = 0;
    std::vector<std::size_t> segmentsAnnounced;
    for (int run = 0; run < KILLED_RUNS; ++run) {
        DeleteFileW((directory / L"quillon.log").c_str());
        const auto delay = std::chrono::microseconds(moment(draw));
        ChildProcess child(LaunchIn(directory, launch));
        std::this_thread::sleep_for(delay);
        child.Terminate();
        const std::string log = ReadBytes(directory / L"quillon.log");
        const std::size_t lines = Lines(log);
        if (lines == 0) {
            ++beforeLog;
        } else if (lines <= downloadStart) {
            ++beforeDownload;
        } else if (lines <= downloadStart + 194) {
            segmentsAnnounced.push_back(lines - downloadStart);
        } else {
            ++afterDownload;
        }

        const bool prefix = whole.log.compare(0, log.size(), log) == 0 && log.size() <= whole.log.size();
        const bool lineEnd = log.empty() || log.compare(log.size() - 2, 2, "\r\n") == 0;
        const HANDLE guard = OpenMutexW(SYNCHRONIZE, FALSE, INSTANCE_MUTEX_NAME);
        const DWORD guardError = GetLastError();
        if (guard != nullptr) {
            CloseHandle(guard);
        }
        EXPECT_TRUE(prefix) << "run " << run + 1 << ", killed after " << delay.count()
                            << " us: not the beginning of the whole log:\n"
                            << log;
        EXPECT_TRUE(lineEnd) << "run " << run + 1 << ", killed after " << delay.count()
                             << " us: a torn last line:\n"
                             << log;
        EXPECT_TRUE(guard == nullptr && guardError == ERROR_FILE_NOT_FOUND)
            << "run " << run + 1 << ", killed after " << delay.count()
            << " us: the single-instance guard outlived the run";
        // A run that ends at once shows that neither the guard nor the log of the killed run holds it back.
        const ToolRun next = RunTool(directory, {L"/T:1", "drive = 1\n"});
        EXPECT_EQ(next.exitCode, 8u) << "run " << run + 1 << ", killed after " << delay.count()
                                     << " us: the next run did not start normally";
        EXPECT_EQ(next.log, TextMode(BANNER + USAGE));
        if (prefix && lineEnd && guard == nullptr && next.exitCode == 8 &&
            next.log == TextMode(BANNER + USAGE)) {
            ++held;
        }
    }
    const ToolRun after = RunTool(directory, launch);
    EXPECT_EQ(after.exitCode, 0u);
    EXPECT_EQ(after.log, whole.log);
    std::sort(segmentsAnnounced.begin(), segmentsAnnounced.end());
    std::cout << "killed runs: " << KILLED_RUNS << " runs, " << held << " held; killed before the log "
              << beforeLog << ", before the download " << beforeDownload << ", during it "
              << segmentsAnnounced.size();
    if (!segmentsAnnounced.empty()) {
        std::cout << " (after segment " << segmentsAnnounced.front() << " to " << segmentsAnnounced.back()
                  << " of 194)";
    }
    std::cout << ", after it " << afterDownload << "; a whole run " << runMicroseconds / 1000 << " ms"
              << std::endl;
    EXPECT_EQ(held, KILLED_RUNS);
}

} // namespace
