#include "support/chacha20.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> FromHex(const char* hex) {
    std::vector<uint8_t> out;
    for (const char* p = hex; p[0] && p[1]; p += 2)
        out.push_back(uint8_t(std::stoi(std::string(p, 2), nullptr, 16)));
    return out;
}

}  // namespace

// The published "sunscreen" vector: two blocks, the second one partial, from counter 1.
TEST(ChaCha20, PublishedVector) {
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = uint8_t(i);
    const uint8_t nonce[12] = {0, 0, 0, 0, 0, 0, 0, 0x4a, 0, 0, 0, 0};
    const char* plain =
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, "
        "sunscreen would be it.";
    const std::vector<uint8_t> want = FromHex(
        "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0b"
        "f91b65c5524733ab8f593dabcd62b3571639d624e65152ab8f530c359f0861d8"
        "07ca0dbf500d6a6156a38e088a22b65e52bc514d16ccf806818ce91ab7793736"
        "5af90bbf74a35be6b40b8eedf2785e42874d");
    ASSERT_EQ(want.size(), std::strlen(plain));
    std::vector<uint8_t> data(plain, plain + std::strlen(plain));
    ChaCha20Xor(key, nonce, 1, data.data(), data.size());
    EXPECT_EQ(data, want);
    ChaCha20Xor(key, nonce, 1, data.data(), data.size());
    EXPECT_EQ(std::string(data.begin(), data.end()), plain);
}

// Encrypting in whole-block pieces with the counter advanced must equal one
// call; tools encrypt 64 KiB blocks of a file this way.
TEST(ChaCha20, PiecesContinueTheStream) {
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = uint8_t(0xa0 + i);
    const uint8_t nonce[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    std::vector<uint8_t> whole(64 * 7 + 5, 0);
    ChaCha20Xor(key, nonce, 0, whole.data(), whole.size());
    for (const size_t at : {size_t(64), size_t(128), size_t(64 * 7)}) {
        std::vector<uint8_t> pieces(whole.size(), 0);
        ChaCha20Xor(key, nonce, 0, pieces.data(), at);
        ChaCha20Xor(key, nonce, uint32_t(at / 64), pieces.data() + at, pieces.size() - at);
        EXPECT_EQ(pieces, whole) << "split at " << at;
    }
}
