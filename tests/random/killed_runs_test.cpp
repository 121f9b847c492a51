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
// 16 MiB, long enough a download to aim at on a fast machine, and about the longest package that Windows
// takes whole: 259 segments of 65024 bytes, the last at an offset below 0xFFFFFF.
constexpr std::size_t PACKAGE_LENGTH = 16 << 20;
constexpr std::size_t SEGMENTS = (PACKAGE_LENGTH + 65023) / 65024;

std::size_t Lines(const std::string& log) {
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
}

TEST(KilledRuns, LeaveWholeLinesOfTheRunAndNoGuard) {
    TempDirectory directory;
    WriteBytes(directory / L"package.ffu", PatternBytes(PACKAGE_LENGTH));
    const ToolLaunch launch{L"/T:1 /D:package.ffu", "drive = 1\n"};

    // A whole run, watched for how long its start-up and its download take. A third of the kills fall into
    // the start-up; two in three wait for the first segment of their own run and fall into its download,
    // however fast or busy the machine is.
    ChildProcess watched(LaunchIn(directory, launch));
    const auto started = std::chrono::steady_clock::now();
    std::chrono::microseconds downloadBegins{0};
    std::chrono::microseconds downloadEnds{0};
    for (bool ended = false; !ended;) {
        ended = watched.EndsWithin(std::chrono::milliseconds(0));
        const std::string log = ReadBytes(directory / L"quillon.log");
        const auto now =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
        if (downloadBegins.count() == 0 && log.find(TextMode(Progress(0))) != std::string::npos) {
            downloadBegins = now;
        }
        if (downloadEnds.count() == 0 && log.find(TextMode(UPDATED)) != std::string::npos) {
            downloadEnds = now;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    ASSERT_EQ(watched.Wait(), 0u);
    const std::string whole = ReadBytes(directory / L"quillon.log");
    const std::size_t banner = Lines(TextMode(BANNER));
    const std::size_t downloadStart = banner + 3;
    ASSERT_EQ(Lines(whole), downloadStart + SEGMENTS + 3) << whole;
    ASSERT_LT(downloadBegins, downloadEnds);

    // NOLINTNEXTLINE(cert-msc51-cpp): a fixed seed, so that a failing kill comes back at the same moment
    std::mt19937 draw(20261208);
    std::uniform_int_distribution<long long> beforeMoment(0, downloadBegins.count());
    std::uniform_int_distribution<long long> duringMoment(0, (downloadEnds - downloadBegins).count());
    int held = 0;
    int beforeLog = 0;
    int beforeDownload = 0;
    int afterDownload = 0;
    std::vector<std::size_t> segmentsAnnounced;
    for (int run = 0; run < KILLED_RUNS; ++run) {
        DeleteFileW((directory / L"quillon.log").c_str());
        const bool inDownload = run % 3 != 0;
        const auto delay = std::chrono::microseconds(inDownload ? duringMoment(draw) : beforeMoment(draw));
        ChildProcess child(LaunchIn(directory, launch));
        while (inDownload && !child.EndsWithin(std::chrono::milliseconds(0)) &&
               ReadBytes(directory / L"quillon.log").find(TextMode(Progress(0))) == std::string::npos) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        std::this_thread::sleep_for(delay);
        child.Terminate();
        const std::string log = ReadBytes(directory / L"quillon.log");
        const std::size_t lines = Lines(log);
        if (lines == 0) {
            ++beforeLog;
        } else if (lines <= downloadStart) {
            ++beforeDownload;
        } else if (lines <= downloadStart + SEGMENTS) {
            segmentsAnnounced.push_back(lines - downloadStart);
        } else {
            ++afterDownload;
        }

        const bool prefix = whole.compare(0, log.size(), log) == 0 && log.size() <= whole.size();
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
    EXPECT_EQ(after.log, whole);
    std::sort(segmentsAnnounced.begin(), segmentsAnnounced.end());
    std::cout << "killed runs: " << KILLED_RUNS << " runs, " << held << " held; killed before the log "
              << beforeLog << ", before the download " << beforeDownload << ", during it "
              << segmentsAnnounced.size();
    if (!segmentsAnnounced.empty()) {
        std::cout << " (after segment " << segmentsAnnounced.front() << " to " << segmentsAnnounced.back()
                  << " of " << SEGMENTS << ")";
    }
    std::cout << ", after it " << afterDownload << "; the download from " << downloadBegins.count() / 1000
              << " to " << downloadEnds.count() / 1000 << " ms" << std::endl;
    EXPECT_EQ(held, KILLED_RUNS);
}

} // namespace
