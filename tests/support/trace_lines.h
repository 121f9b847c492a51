#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The lines of the simulated device's request trace, one builder per kind of request. `result` is "ok" or
// Error(code) for a request that failed.
namespace TestSupport::Trace {

std::string Error(DWORD code);
// A request that Windows' class driver refused before the device saw it.
std::string ClassDriverError(DWORD code);
// The drive as it stands in the drive path, in UTF-8.
std::string Open(std::string_view drive, const std::string& result = "ok");
std::string ExtCsd(const std::string& result = "ok");
std::string GetInfo(const std::string& result = "ok");
// The request that carries `length` bytes of the image from `offset` on.
std::string Download(std::string_view image, std::size_t offset, std::size_t length, bool last, int slot,
                     const std::string& result = "ok");
std::string Activate(int slot, const std::string& result = "ok");
// A standard storage property query for the property id, as the probe sends it.
std::string Property(int id, const std::string& result = "ok");

// zlib's CRC-32 of the bytes, continuing from the CRC-32 of the bytes before them (0 for none).
std::uint32_t Crc32(std::string_view bytes, std::uint32_t crc = 0);
// The crc32 field of a download line for these bytes: their CRC-32 as eight lower-case hex digits.
std::string Crc(std::string_view bytes);

// The trace file that holds these lines.
std::string File(const std::vector<std::string>& lines);

} // namespace TestSupport::Trace
