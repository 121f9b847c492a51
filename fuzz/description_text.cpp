// The text form of the simulated machine's files: lines, sections, numbers and hexadecimal bytes.
#include "sim/description_text.h"
#include "cli/hex.h"
#include "fuzz/fuzz_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    std::size_t lastLine = 0;
    const auto inOrder = [&](std::size_t line) {
        Fuzz::Check(line > lastLine && line <= lines, "lines are reported in order and inside the text");
        lastLine = line;
    };
    try {
        DescriptionText::Read(
            text, 1,
            [&](std::size_t line, std::string_view key, std::string_view value) {
                inOrder(line);
                Fuzz::Check(key == DescriptionText::Trim(key) && value == DescriptionText::Trim(value) &&
                                key.find('\n') == std::string_view::npos &&
                                value.find('\n') == std::string_view::npos,
                            "a key and its value are trimmed and on one line");
                // A number read is written back in decimal and read again as itself.
                if (const auto number = DescriptionText::ParseNumber(value, UINT64_MAX)) {
                    Fuzz::Check(DescriptionText::ParseNumber(std::to_string(*number), UINT64_MAX) == number,
                                "a number reads back from its decimal text");
                }
                // Bytes read are written back as hexadecimal digits and read again as themselves.
                std::uint8_t bytes[16] = {};
                try {
                    DescriptionText::HexBytes(value, bytes, 1, sizeof(bytes), line);
                    const std::string digits = Hex::Text(bytes, value.size() / 2);
                    std::string lower(value);
                    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
                        return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
                    });
                    Fuzz::Check(digits == lower, "bytes read back from their hexadecimal text");
                } catch (const DescriptionError& error) {
                    Fuzz::Check(error.Line() == line, "a bad value names its line");
                }
            },
            [&](std::size_t line, std::uint8_t drive) {
                inOrder(line);
                Fuzz::Check(drive <= 9, "a section names a drive digit");
            });
    } catch (const DescriptionError& error) {
        Fuzz::Check(error.Line() > lastLine && error.Line() <= lines, "a mistake names a line of the text");
    }
    return 0;
}
