// How the tool's two heavy steps compare with the least work they could possibly do, on packages of 1, 4
// and 16 MiB (Windows takes no segment at an offset above 0xFFFFFF, so a package much over 16 MiB cannot be
// installed whole): loading the package against one plain ReadFile of the same file, and the download loop on
// the built-in simulated device against one memcpy of the same bytes. Also how much memory the load and
// the update take beyond the image itself, measured in a fresh process of its own so that nothing this
// process did before shows in the peak.
//
// A report for people: it prints the numbers and the aims beside them, and never fails on a timing.

#include "cli/package.h"
#include "device/emmc.h"
#include "diag/logger.h"
#include "sim/simulated_machine.h"
#include "win32/unique_handle.h"

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::size_t MIB = std::size_t{1024} * 1024;
// The built-in device's segments: the largest multiple of its 512-byte alignment beside a 32-byte header in
// a 65536-byte request.
constexpr std::size_t SEGMENT = 65024;
constexpr double TIME_AIM = 3.0;

std::wstring TempPath(const std::wstring& name) {
    std::array<wchar_t, MAX_PATH + 1> temp{};
    const DWORD length = GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
    if (length == 0 || length > MAX_PATH) {
        throw std::runtime_error("no temporary folder");
    }
    return std::wstring(temp.data()) + L"quillon-bench-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           name;
}

const std::wstring& BenchLogPath() {
    static const std::wstring path = TempPath(L"quillon.log");
    return path;
}

} // namespace

// The tool writes its messages through this Logger: a real log file, as in a run of the tool, so that the
// progress lines cost what they cost there.
Logger* const logger = [] {
    auto* created = new Logger(LogFile(BenchLogPath()), false);
    // Without the handler only the log file of the benchmark's own stays behind.
    static_cast<void>(std::atexit([] {
        delete logger;
        DeleteFileW(BenchLogPath().c_str());
    }));
    return created;
}();

namespace {

class Stopwatch {
public:
    Stopwatch() { QueryPerformanceCounter(&start); }
    double Seconds() const {
        LARGE_INTEGER now;
        LARGE_INTEGER frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    }

private:
    LARGE_INTEGER start;
};

// Each measurement keeps its fastest round: the slower ones measured the machine's other work as well.
constexpr double INFINITY_SECONDS = std::numeric_limits<double>::infinity();

// A package file in the temporary folder, removed at the end.
class PackageFile {
public:
    explicit PackageFile(std::size_t size) : path(TempPath(std::to_wstring(size / MIB) + L"MiB.ffu")) {
        const Win32::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.IsValid()) {
            throw std::runtime_error("cannot create a package file");
        }
        std::vector<std::uint8_t> block(8 * MIB);
        std::uint32_t state = 1;
        for (std::size_t written = 0; written < size; written += block.size()) {
            for (auto& byte : block) {
                state = state * 1664525u + 1013904223u;
                byte = static_cast<std::uint8_t>(state >> 24);
            }
            const DWORD length = static_cast<DWORD>(std::min(block.size(), size - written));
            DWORD done = 0;
            if (!WriteFile(file.Get(), block.data(), length, &done, nullptr) || done != length) {
                throw std::runtime_error("cannot write a package file");
            }
        }
    }
    PackageFile(const PackageFile&) = delete;
    PackageFile& operator=(const PackageFile&) = delete;
    ~PackageFile() { DeleteFileW(path.c_str()); }

    const std::wstring& Path() const { return path; }

private:
    std::wstring path;
};

std::vector<std::uint8_t> Load(const std::wstring& path) {
    std::vector<std::uint8_t> image;
    if (LoadPackage(path, image) != PackageLoad::Loaded) {
        throw std::runtime_error("the package did not load");
    }
    return image;
}

// The floor of loading: open the file, take a buffer and read the whole file into it with one call.
double PlainRead(const std::wstring& path, std::size_t size) {
    const Stopwatch watch;
    const Win32::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[size]);
    DWORD read = 0;
    if (!file.IsValid() || !ReadFile(file.Get(), buffer.get(), static_cast<DWORD>(size), &read, nullptr) ||
        read != size) {
        throw std::runtime_error("cannot read a package file");
    }
    return watch.Seconds();
}

double LoadTime(const std::wstring& path) {
    const Stopwatch watch;
    // cppcheck-suppress unreadVariable ; the image is kept until the watch stops, so its release is not timed
    const std::vector<std::uint8_t> image = Load(path);
    return watch.Seconds();
}

// The update of a freshly installed built-in device, from the information query to the activation. The
// device keeps no trace, as in quillon-sim.exe without QUILLON_SIM_TRACE.
double DownloadTime(const std::vector<std::uint8_t>& image) {
    SimulatedMachine::Install(DeviceDescription{}, RequestTrace());
    const eMMC device(L"\\\\.\\PhysicalDrive0");
    const Stopwatch watch;
    const bool updated = device.UpdateFirmware(image);
    const double seconds = watch.Seconds();
    const SimulatedDevice::Download& received = SimulatedMachine::Current().Device(0)->Received();
    if (!updated || !received.complete || received.length != image.size()) {
        throw std::runtime_error("the simulated device did not receive the whole image");
    }
    return seconds;
}

double CopyTime(const std::vector<std::uint8_t>& image, std::vector<std::uint8_t>& target) {
    const Stopwatch watch;
    std::memcpy(target.data(), image.data(), image.size());
    return watch.Seconds();
}

// What the tool's progress lines cost: three pieces per segment, the line written to the log file at once.
double ProgressTime(std::size_t imageSize) {
    const Stopwatch watch;
    for (std::size_t offset = 0; offset < imageSize; offset += SEGMENT) {
        *logger << L"eMMC::UpdateFirmware - downloading offset " << static_cast<std::uint32_t>(offset)
                << "...\n";
    }
    return watch.Seconds();
}

// The peak of the working set, which Wine takes from the kernel's high-water mark of the process's resident
// memory. (Wine gives PeakPagefileUsage as the current value, not a peak, and Z:\proc\self is the Wine
// server's, not ours.)
struct Memory {
    std::size_t current;
    std::size_t peak;
};

Memory ProcessMemory() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        throw std::runtime_error("no memory counters");
    }
    return {counters.WorkingSetSize, counters.PeakWorkingSetSize};
}

// In the child process: load the package and update the device as the tool does, and tell how far the
// memory rose above what the process held before.
int MeasurePeak(const std::wstring& path) {
    const Memory before = ProcessMemory();
    {
        const std::vector<std::uint8_t> image = Load(path);
        SimulatedMachine::Install(DeviceDescription{}, RequestTrace());
        const eMMC device(L"\\\\.\\PhysicalDrive0");
        if (!device.CanUpdateFirmware() || !device.UpdateFirmware(image)) {
            return 1;
        }
    }
    std::printf("%zu\n", ProcessMemory().peak - before.current);
    return 0;
}

std::wstring OwnPath() {
    std::array<wchar_t, 32768> path{};
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    return std::wstring(path.data(), length);
}

// Runs this program in peak-measuring mode on the package and reads the answer from its standard output.
std::size_t PeakIncrease(const std::wstring& path) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    if (!CreatePipe(&reader, &writer, &inherit, 0)) {
        throw std::runtime_error("cannot create a pipe");
    }
    const Win32::UniqueHandle output(reader);
    Win32::UniqueHandle input(writer);
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writer;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring commandLine = L"\"" + OwnPath() + L"\" --peak \"" + path + L"\"";
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &started)) {
        throw std::runtime_error("cannot start the measuring process");
    }
    const Win32::UniqueHandle process(started.hProcess);
    const Win32::UniqueHandle thread(started.hThread);
    input.Reset();

    std::string text;
    std::array<char, 256> block;
    DWORD read = 0;
    while (ReadFile(output.Get(), block.data(), static_cast<DWORD>(block.size()), &read, nullptr) &&
           read != 0) {
        text.append(block.data(), read);
    }
    WaitForSingleObject(process.Get(), INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.Get(), &exitCode);
    if (exitCode != 0 || text.empty()) {
        throw std::runtime_error("the measuring process failed");
    }
    return static_cast<std::size_t>(std::stoull(text));
}

void Measure(std::size_t mebibytes) {
    const std::size_t size = mebibytes * MIB;
    const int rounds = mebibytes >= 16 ? 3 : 5;
    const PackageFile package(size);

    // Rounds of every measurement side by side, so that a busy moment of the machine weighs on all alike.
    double read = INFINITY_SECONDS;
    double load = INFINITY_SECONDS;
    double copy = INFINITY_SECONDS;
    double download = INFINITY_SECONDS;
    double progress = INFINITY_SECONDS;
    const std::vector<std::uint8_t> image = Load(package.Path());
    std::vector<std::uint8_t> target(size, 1);
    for (int round = 0; round < rounds; ++round) {
        read = std::min(read, PlainRead(package.Path(), size));
        load = std::min(load, LoadTime(package.Path()));
        copy = std::min(copy, CopyTime(image, target));
        download = std::min(download, DownloadTime(image));
        progress = std::min(progress, ProgressTime(size));
    }

    const std::size_t peak = PeakIncrease(package.Path());
    const double mib = static_cast<double>(mebibytes);
    const auto perMib = [&](double seconds) {
        return seconds * 1000.0 / mib;
    };

    std::printf("%4zu MiB package\n", mebibytes);
    std::printf("  load      %8.3f ms/MiB   plain ReadFile %8.3f ms/MiB   ratio %6.2f  (aim <= %.0f)\n",
                perMib(load), perMib(read), load / read, TIME_AIM);
    std::printf("  download  %8.3f ms/MiB   memcpy         %8.3f ms/MiB   ratio %6.2f  (aim <= %.0f)\n",
                perMib(download), perMib(copy), download / copy, TIME_AIM);
    std::printf("            alone: the progress lines to the log file     %8.3f ms/MiB (%.2f x memcpy)\n",
                perMib(progress), progress / copy);
    const double over = (static_cast<double>(peak) - static_cast<double>(size)) / static_cast<double>(MIB);
    std::printf(
        "  memory    peak %8.2f MiB above the start, %.3f x the image, %+.2f MiB over it  (aim <= +1 MiB)\n",
        static_cast<double>(peak) / static_cast<double>(MIB),
        static_cast<double>(peak) / static_cast<double>(size), over);
    // A report on the console: a line that does not get out cannot be reported either.
    static_cast<void>(std::fflush(stdout));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        if (argc == 3 && std::wstring(argv[1]) == L"--peak") {
            return MeasurePeak(argv[2]);
        }
        std::printf("Quillon download benchmark: best of 3 to 5 rounds; times per MiB of package.\n"
                    "Aims: load and download within %.0fx of a plain read and a memcpy of the same bytes;\n"
                    "peak memory of a load and update no more than the image plus 1 MiB.\n\n",
                    TIME_AIM);
        for (const std::size_t mebibytes : {1, 4, 16}) {
            Measure(mebibytes);
        }
        return 0;
    } catch (const std::exception& error) {
        static_cast<void>(std::fprintf(stderr, "benchmark failed: %s\n", error.what()));
        return 1;
    }
}
