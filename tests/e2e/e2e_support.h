#pragma once

#include "tests/support/child_process.h"
#include "tests/support/files.h"
#include "tests/support/text_conversion.h"
#include "tests/support/tool_texts.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// What the end-to-end tests share: the lines of the simulated device's request trace, and ways to start
// the two programs.
namespace E2e {

// CRC-32 as zlib computes it.
std::uint32_t ZlibCrc32(std::string_view bytes);

// Lines of the simulated device's request trace.
namespace Trace {
std::string Error(DWORD code);
std::string Open(char drive, const std::string& result = "ok");
std::string ExtCsd(const std::string& result = "ok");
std::string GetInfo(const std::string& result = "ok");
std::string Download(std::string_view image, std::size_t offset, std::size_t length, bool last, int slot,
                     const std::string& result = "ok");
std::string Activate(int slot, const std::string& result = "ok");
// The trace file that holds these lines.
std::string File(const std::vector<std::string>& lines);
} // namespace Trace

// An image sent in segments of the given size: its download requests and the progress lines of the log.
struct Segments {
    std::vector<std::string> requests;
    std::string progress;
};
Segments SegmentsOf(std::string_view image, std::size_t segmentSize, int slot);

// Starts quillon-sim.exe in the directory on the described device (the built-in one when the description
// is empty), tracing into "trace.txt" there.
TestSupport::LaunchOptions Simulated(const TestSupport::TempDirectory& directory,
                                     const std::wstring& arguments, const std::string& description,
                                     const std::map<std::wstring, std::wstring>& environment = {});

// Gives one program, named by its file name, another Windows version under Wine for as long as it lives.
class WineVersionOverride {
public:
    WineVersionOverride(const std::wstring& programName, const std::wstring& version);
    WineVersionOverride(const WineVersionOverride&) = delete;
    WineVersionOverride& operator=(const WineVersionOverride&) = delete;
    ~WineVersionOverride();

private:
    std::wstring keyPath;
};

} // namespace E2e
