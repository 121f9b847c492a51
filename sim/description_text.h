#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// The text form that machine descriptions and machine states share: one "key = value" per line, "#" starts
// a comment (but inside a value in double quotes), blank lines are ignored, "[drive N]" opens the part of
// drive N, numbers are decimal or 0x hexadecimal.
namespace DescriptionText {

std::string_view Trim(std::string_view text);

// Calls `line` for every "key = value" line and `section` for every "[drive N]" header, with the line's
// number (counting from `firstLine`). Throws DescriptionError for a line that is neither.
void Read(std::string_view text, std::size_t firstLine,
          const std::function<void(std::size_t line, std::string_view key, std::string_view value)>& line,
          const std::function<void(std::size_t line, std::uint8_t drive)>& section);

// A decimal or 0x hexadecimal number no larger than max; nothing else, not even a sign.
std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t max);
// The number, or DescriptionError naming the line.
std::uint64_t Number(std::string_view value, std::uint64_t max, std::size_t line);
// Hexadecimal digits, two for each byte, from `minimum` to `maximum` bytes, into `bytes`; bytes not given
// stay zero. Throws DescriptionError naming the line.
void HexBytes(std::string_view digits, std::uint8_t* bytes, std::size_t minimum, std::size_t maximum,
              std::size_t line);
template <std::size_t N>
std::array<std::uint8_t, N> HexBytes(std::string_view digits, std::size_t minimum, std::size_t line) {
    std::array<std::uint8_t, N> bytes{};
    HexBytes(digits, bytes.data(), minimum, N, line);
    return bytes;
}

} // namespace DescriptionText

class DescriptionError : public std::runtime_error {
public:
    DescriptionError(std::size_t line, const std::string& problem);
    std::size_t Line() const { return line; }

private:
    std::size_t line;
};
