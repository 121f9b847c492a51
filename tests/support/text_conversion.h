#pragma once

#include <string>
#include <string_view>

namespace TestSupport {

// UTF-16 text as 8-bit bytes, the way the tool writes it: each character up to 255 as one byte, every
// character above as "?".
std::string Narrow(std::wstring_view text);

// UTF-16 text as UTF-8, the way the simulated device writes its request trace.
std::string Utf8(std::wstring_view text);

} // namespace TestSupport
