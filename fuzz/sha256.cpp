// SHA-256 over bytes that arrive in pieces of any size: the pieces never change the digest.
#include "cli/sha256.h"
#include "fuzz/fuzz_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Sha256 whole;
    whole.Update(data, size);
    const Sha256::Digest digest = whole.Finish();
    Fuzz::Check(Sha256::Hex(digest).size() == 2 * Sha256::DIGEST_LENGTH, "a digest is 64 hexadecimal digits");

    // The input's own bytes choose the pieces.
    Sha256 pieces;
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < size; ++i) {
        const std::size_t length = std::min<std::size_t>(1 + data[i % size] % 131, size - offset);
        pieces.Update(data + offset, length);
        offset += length;
    }
    Fuzz::Check(pieces.Finish() == digest, "the digest does not depend on the pieces");
    Fuzz::Check(whole.Finish() == Sha256().Finish(), "a finished hash starts afresh");
    return 0;
}
