#pragma once

#include <optional>
#include <string>
#include <string_view>

// UTF-8, the text of the programs' JSON files, against Windows' UTF-16 and against the 8-bit identity
// strings of a disk, which the JSON files carry as the characters U+0000 to U+00FF of their bytes.
namespace Utf8 {

std::string FromWide(std::wstring_view text);
std::wstring ToWide(std::string_view utf8);
// Each byte as the character of that code.
std::string FromBytes(std::string_view bytes);
// The bytes whose characters the text holds; nothing when it holds a character above U+00FF.
std::optional<std::string> ToBytes(std::string_view utf8);

} // namespace Utf8
