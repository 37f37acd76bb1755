#include "support/chacha20.h"

namespace {

uint32_t Rotl(uint32_t v, int n) {
    return (v << n) | (v >> (32 - n));
}

uint32_t Load32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void QuarterRound(uint32_t* x, int a, int b, int c, int d) {
    x[a] += x[b];
    x[d] = Rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = Rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = Rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = Rotl(x[b] ^ x[c], 7);
}

void Block(const uint32_t in[16], uint8_t out[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = in[i];
    for (int round = 0; round < 10; ++round) {
        QuarterRound(x, 0, 4, 8, 12);
        QuarterRound(x, 1, 5, 9, 13);
        QuarterRound(x, 2, 6, 10, 14);
        QuarterRound(x, 3, 7, 11, 15);
        QuarterRound(x, 0, 5, 10, 15);
        QuarterRound(x, 1, 6, 11, 12);
        QuarterRound(x, 2, 7, 8, 13);
        QuarterRound(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) {
        const uint32_t v = x[i] + in[i];
        out[4 * i] = uint8_t(v);
        out[4 * i + 1] = uint8_t(v >> 8);
        out[4 * i + 2] = uint8_t(v >> 16);
        out[4 * i + 3] = uint8_t(v >> 24);
    }
}

}  // namespace

void ChaCha20Xor(const uint8_t key[32], const uint8_t nonce[12], uint32_t counter, uint8_t* data,
                 size_t size) {
    uint32_t state[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int i = 0; i < 8; ++i) state[4 + i] = Load32(key + 4 * i);
    state[12] = counter;
    for (int i = 0; i < 3; ++i) state[13 + i] = Load32(nonce + 4 * i);
    uint8_t stream[64];
    for (size_t done = 0; done < size; done += 64) {
        Block(state, stream);
        ++state[12];
        const size_t n = size - done < 64 ? size - done : 64;
        for (size_t i = 0; i < n; ++i) data[done + i] ^= stream[i];
    }
}
