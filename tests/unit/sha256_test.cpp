#include "cli/sha256.h"

#ifdef _WIN32
#include "tests/support/files.h"
#include "win32/unique_handle.h"
#endif

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct Vector {
    const char* name;
    std::string message;
    const char* digest;
};

// The example messages of FIPS 180-4's SHA-256 (NIST's published examples and test vectors).
const Vector VECTORS[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"896 bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrs"
     "tnopq"
     "rstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"a million a", std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

const std::uint8_t* Bytes(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Pieces that end before, on and after block boundaries, and empty ones.
std::string InPieces(Sha256& hash, const std::string& message) {
    static const std::size_t lengths[] = {1, 0, 63, 64, 65, 7, 55, 56, 129, 3, 1000};
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < message.size(); ++i) {
        const std::size_t length = std::min(lengths[i % std::size(lengths)], message.size() - offset);
        hash.Update(Bytes(message) + offset, length);
        offset += length;
    }
    return Sha256::Hex(hash.Finish());
}

TEST(Sha256, GivesTheStandardsExampleDigestsWholeAndInPieces) {
    Sha256 reused;
    for (const Vector& vector : VECTORS) {
        SCOPED_TRACE(vector.name);
        Sha256 whole;
        whole.Update(Bytes(vector.message), vector.message.size());
        EXPECT_EQ(Sha256::Hex(whole.Finish()), vector.digest);
        // Finish starts the object afresh: the same object hashes every vector in turn.
        EXPECT_EQ(InPieces(reused, vector.message), vector.digest);
    }
}

#ifdef _WIN32
TEST(Sha256, GivesTheStandardsExampleDigestsFromAFile) {
    const TestSupport::TempDirectory directory;
    for (const Vector& vector : VECTORS) {
        SCOPED_TRACE(vector.name);
        const std::wstring path = directory / L"image.ffu";
        TestSupport::WriteBytes(path, vector.message);
        const Win32::UniqueHandle file(
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file.IsValid());
        // The handle's position does not matter: the file is hashed from its first byte.
        LARGE_INTEGER middle{};
        middle.QuadPart = static_cast<LONGLONG>(vector.message.size() / 2);
        ASSERT_TRUE(SetFilePointerEx(file.Get(), middle, nullptr, FILE_BEGIN));
        const auto fileHash = Sha256::OfFile(file.Get());
        ASSERT_TRUE(fileHash.has_value());
        EXPECT_EQ(Sha256::Hex(fileHash->digest), vector.digest);
        EXPECT_EQ(fileHash->length, vector.message.size());
    }
}

TEST(Sha256, GivesNothingForAFileThatCannotBeRead) {
    const TestSupport::TempDirectory directory;
    const std::wstring path = directory / L"image.ffu";
    const Win32::UniqueHandle writeOnly(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(writeOnly.IsValid());
    EXPECT_FALSE(Sha256::OfFile(writeOnly.Get()).has_value());
}
#endif

} // namespace
