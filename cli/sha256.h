#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// SHA-256 (FIPS 180-4) over bytes that arrive in pieces of any size. Our own code: the shipped programs may
// import KERNEL32 and msvcrt only, and loading a system hash provider at run time buys nothing for a hash
// that is checked, not trusted for a signature.
class Sha256 {
public:
    static constexpr std::size_t DIGEST_LENGTH = 32;
    using Digest = std::array<std::uint8_t, DIGEST_LENGTH>;

    // What a whole file gave: its hash and how many bytes were read.
    struct FileHash {
        Digest digest;
        std::uint64_t length;
    };

    void Update(const std::uint8_t* bytes, std::size_t length);
    // The hash of everything given so far; the object then starts afresh.
    Digest Finish();

#ifdef _WIN32
    // Reads the open file from its first byte to its end in bounded pieces, whatever the handle's position
    // was; nothing when a read or the seek fails.
    static std::optional<FileHash> OfFile(HANDLE file);
#endif
    // As cli/hex.h writes bytes: lower-case hexadecimal, two digits a byte.
    static std::string Hex(const Digest& digest);

private:
    static constexpr std::size_t BLOCK_LENGTH = 64;
    void Compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state = INITIAL_STATE;
    std::array<std::uint8_t, BLOCK_LENGTH> pending{};
    std::size_t pendingLength = 0;
    std::uint64_t totalLength = 0;

    static constexpr std::array<std::uint32_t, 8> INITIAL_STATE = {
        0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
};
