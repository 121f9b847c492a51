#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Byte strings as the programs write them in reports, manifests and records: two hexadecimal digits a byte,
// in the bytes' order, lower case when written; either case is read.
namespace Hex {

std::string Text(const std::uint8_t* bytes, std::size_t length);
// The value of one digit, or -1 for a character that is none.
int Digit(char character);
// Nothing for an odd count of characters or a character that is not a digit.
std::optional<std::vector<std::uint8_t>> Bytes(std::string_view text);

} // namespace Hex
