#include "cli/sha256.h"

#include "cli/hex.h"

#include <algorithm>

namespace {

constexpr std::array<std::uint32_t, 64> ROUND_CONSTANTS = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t RotateRight(std::uint32_t value, int count) {
    return (value >> count) | (value << (32 - count));
}

} // namespace

void Sha256::Compress(const std::uint8_t* block) {
    std::array<std::uint32_t, 64> schedule{};
    for (std::size_t i = 0; i < 16; ++i) {
        schedule[i] = (std::uint32_t{block[4 * i]} << 24) | (std::uint32_t{block[4 * i + 1]} << 16) |
                      (std::uint32_t{block[4 * i + 2]} << 8) | std::uint32_t{block[4 * i + 3]};
    }
    for (std::size_t i = 16; i < schedule.size(); ++i) {
        const std::uint32_t s0 =
            RotateRight(schedule[i - 15], 7) ^ RotateRight(schedule[i - 15], 18) ^ (schedule[i - 15] >> 3);
        const std::uint32_t s1 =
            RotateRight(schedule[i - 2], 17) ^ RotateRight(schedule[i - 2], 19) ^ (schedule[i - 2] >> 10);
        schedule[i] = schedule[i - 16] + s0 + schedule[i - 7] + s1;
    }
    auto [a, b, c, d, e, f, g, h] = state;
    for (std::size_t i = 0; i < schedule.size(); ++i) {
        const std::uint32_t t1 = h + (RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25)) +
                                 ((e & f) ^ (~e & g)) + ROUND_CONSTANTS[i] + schedule[i];
        const std::uint32_t t2 =
            (RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    const std::array<std::uint32_t, 8> rounds = {a, b, c, d, e, f, g, h};
    for (std::size_t i = 0; i < state.size(); ++i) {
        state[i] += rounds[i];
    }
}

void Sha256::Update(const std::uint8_t* bytes, std::size_t length) {
    totalLength += length;
    if (pendingLength > 0) {
        const std::size_t taken = std::min(length, BLOCK_LENGTH - pendingLength);
        std::copy_n(bytes, taken, pending.begin() + static_cast<std::ptrdiff_t>(pendingLength));
        pendingLength += taken;
        bytes += taken;
        length -= taken;
        if (pendingLength < BLOCK_LENGTH) {
            return;
        }
        Compress(pending.data());
        pendingLength = 0;
    }
    for (; length >= BLOCK_LENGTH; bytes += BLOCK_LENGTH, length -= BLOCK_LENGTH) {
        Compress(bytes);
    }
    std::copy_n(bytes, length, pending.begin());
    pendingLength = length;
}

Sha256::Digest Sha256::Finish() {
    const std::uint64_t bitLength = totalLength * 8;
    // The message ends with one bit, zeros up to 56 bytes into a block, then its length in bits, big-endian.
    std::array<std::uint8_t, BLOCK_LENGTH + 8> padding{};
    padding[0] = 0x80;
    const std::size_t zeros =
        (pendingLength < 56 ? 56 - pendingLength : BLOCK_LENGTH + 56 - pendingLength) - 1;
    for (std::size_t i = 0; i < 8; ++i) {
        padding[1 + zeros + i] = static_cast<std::uint8_t>(bitLength >> (56 - 8 * i));
    }
    Update(padding.data(), 1 + zeros + 8);

    Digest digest{};
    for (std::size_t i = 0; i < state.size(); ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * j));
        }
    }
    *this = Sha256();
    return digest;
}

std::string Sha256::Hex(const Digest& digest) {
    return Hex::Text(digest.data(), digest.size());
}
