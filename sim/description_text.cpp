#include "sim/description_text.h"

DescriptionError::DescriptionError(std::size_t line, const std::string& problem)
    : std::runtime_error(problem), line(line) {}

namespace DescriptionText {

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

namespace {

// Where a comment starts: at the first "#", or, for a value that opens with a double quote, at the first
// "#" after the line's last double quote, so that a quoted text may hold both.
std::size_t CommentStart(std::string_view line) {
    const auto equals = line.find('=');
    const auto value = equals == std::string_view::npos ? equals : line.find_first_not_of(" \t", equals + 1);
    if (value != std::string_view::npos && line[value] == '"') {
        return line.find('#', line.rfind('"'));
    }
    return line.find('#');
}

} // namespace

void Read(std::string_view text, std::size_t firstLine,
          const std::function<void(std::size_t line, std::string_view key, std::string_view value)>& line,
          const std::function<void(std::size_t line, std::uint8_t drive)>& section) {
    std::size_t lineNumber = firstLine - 1;
    while (!text.empty()) {
        ++lineNumber;
        const auto end = text.find('\n');
        std::string_view content = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

        content = Trim(content.substr(0, CommentStart(content)));
        if (content.empty()) {
            continue;
        }
        if (content.front() == '[') {
            constexpr std::string_view header = "[drive ";
            if (content.substr(0, header.size()) != header || content.back() != ']') {
                throw DescriptionError(lineNumber, "expected '[drive N]'");
            }
            const std::string_view number =
                Trim(content.substr(header.size(), content.size() - header.size() - 1));
            section(lineNumber, static_cast<std::uint8_t>(Number(number, 9, lineNumber)));
            continue;
        }
        const auto equals = content.find('=');
        if (equals == std::string_view::npos) {
            throw DescriptionError(lineNumber, "expected 'key = value'");
        }
        line(lineNumber, Trim(content.substr(0, equals)), Trim(content.substr(equals + 1)));
    }
}

std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t max) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * base + digit;
        if (value > max) {
            return std::nullopt;
        }
    }
    return value;
}

std::uint64_t Number(std::string_view value, std::uint64_t max, std::size_t line) {
    const auto number = ParseNumber(value, max);
    if (!number) {
        throw DescriptionError(line, "bad value '" + std::string(value) + "': expected a number from 0 to " +
                                         std::to_string(max));
    }
    return *number;
}

void HexBytes(std::string_view digits, std::uint8_t* bytes, std::size_t minimum, std::size_t maximum,
              std::size_t line) {
    const auto bad = [&] {
        return DescriptionError(
            line, "bad value '" + std::string(digits) + "': expected " +
                      (minimum == maximum ? std::to_string(maximum) : "1 to " + std::to_string(maximum)) +
                      " bytes as hexadecimal digits");
    };
    if (digits.size() % 2 != 0 || digits.size() / 2 < minimum || digits.size() / 2 > maximum) {
        throw bad();
    }
    for (std::size_t i = 0; i < digits.size() / 2; ++i) {
        const auto byte = ParseNumber("0x" + std::string(digits.substr(2 * i, 2)), 0xFF);
        if (!byte) {
            throw bad();
        }
        bytes[i] = static_cast<std::uint8_t>(*byte);
    }
}

} // namespace DescriptionText
