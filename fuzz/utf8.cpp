// UTF-8 against UTF-16 and against the 8-bit identity bytes: what one side writes, the other reads back.
#include "cli/utf8.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

// Whether the UTF-16 units pair every surrogate: what a conversion from UTF-8 must give.
bool WellFormed(const std::wstring& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto unit = static_cast<std::uint32_t>(text[i]);
        if (unit > 0xFFFF || (unit >= 0xDC00 && unit <= 0xDFFF)) {
            return false;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
                return false;
            }
            ++i;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // As UTF-8 text: read into UTF-16 units, which written again are UTF-8 that reads as the same units.
    const std::wstring wide = Utf8::ToWide(bytes);
    Fuzz::Check(WellFormed(wide) && wide.size() <= bytes.size(), "UTF-8 reads as well-formed UTF-16");
    const std::string utf8 = Utf8::FromWide(wide);
    Fuzz::Check(Utf8::ToWide(utf8) == wide, "UTF-16 written as UTF-8 reads back");
    // Without a U+FFFD of its own, text that reads without one was well-formed, and is written back
    // unchanged.
    if (bytes.find("\xEF\xBF\xBD") == std::string_view::npos && wide.find(L'\xFFFD') == std::wstring::npos) {
        Fuzz::Check(utf8 == bytes, "well-formed UTF-8 reads back unchanged");
    }

    // As an identity string's bytes: written as characters, read back as the bytes.
    const std::string characters = Utf8::FromBytes(bytes);
    Fuzz::Check(Utf8::ToBytes(characters) == std::string(bytes), "bytes written as characters read back");

    // As UTF-16 units, paired or not: a lone surrogate is written as U+FFFD.
    std::wstring units;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        units += static_cast<wchar_t>(data[i] | data[i + 1] << 8);
    }
    const std::wstring read = Utf8::ToWide(Utf8::FromWide(units));
    Fuzz::Check(read.size() == units.size() && WellFormed(read),
                "UTF-16 written as UTF-8 reads back unit for unit");
    for (std::size_t i = 0; i < units.size(); ++i) {
        Fuzz::Check(read[i] == units[i] || (read[i] == 0xFFFD && units[i] >= 0xD800 && units[i] <= 0xDFFF),
                    "only a lone surrogate is replaced");
    }
    return 0;
}
