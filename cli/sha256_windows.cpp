#include "cli/sha256.h"

#include <vector>

namespace {

// Reads of a bounded size: some redirectors refuse a single read of hundreds of megabytes.
constexpr DWORD READ_PIECE_LENGTH = 1024 * 1024;

} // namespace

std::optional<Sha256::FileHash> Sha256::OfFile(HANDLE file) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> piece(READ_PIECE_LENGTH);
    Sha256 hash;
    std::uint64_t length = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, piece.data(), READ_PIECE_LENGTH, &read, nullptr)) {
            return std::nullopt;
        }
        if (read == 0) {
            break;
        }
        hash.Update(piece.data(), read);
        length += read;
    }
    return FileHash{hash.Finish(), length};
}
