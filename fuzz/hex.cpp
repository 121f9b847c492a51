// Byte strings as hexadecimal text, as reports, manifests and records carry them.
#include "cli/hex.h"
#include "fuzz/fuzz_check.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto bytes = Hex::Bytes(text);
    const bool digits = text.size() % 2 == 0 && std::all_of(text.begin(), text.end(), [](char c) {
                            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                        });
    Fuzz::Check(bytes.has_value() == digits, "text is bytes exactly when it is pairs of hexadecimal digits");
    if (bytes) {
        std::string lower(text);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
        Fuzz::Check(Hex::Text(bytes->data(), bytes->size()) == lower,
                    "bytes read are written back in lower case");
    }
    const std::string written = Hex::Text(data, size);
    const auto read = Hex::Bytes(written);
    Fuzz::Check(read && std::equal(read->begin(), read->end(), data, data + size) && read->size() == size,
                "bytes written read back");
    return 0;
}
