// ChaCha20 (256-bit key, 96-bit nonce, 32-bit block counter), for tests and
// tools that need data encrypted the way a real encryptor would: a stream
// cipher whose output is indistinguishable from random bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// XORs the key stream, starting at block `counter`, into data in place;
// running it twice restores the data.
void ChaCha20Xor(const uint8_t key[32], const uint8_t nonce[12], uint32_t counter, uint8_t* data,
                 size_t size);
