// Reading fixed fields out of sampled file bytes, for the content check's
// signature and structure tests. Pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace byte_fields {

// Whether `len` bytes at `off` of the first `n` bytes of h are exactly `bytes`.
inline bool At(const uint8_t* h, size_t n, size_t off, const char* bytes, size_t len) {
    return off <= n && len <= n - off && std::memcmp(h + off, bytes, len) == 0;
}
inline uint16_t Le16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t Le64(const uint8_t* p) {
    return uint64_t(Le32(p)) | (uint64_t(Le32(p + 4)) << 32);
}
inline uint16_t Be16(const uint8_t* p) {
    return uint16_t((p[0] << 8) | p[1]);
}
inline uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace byte_fields
