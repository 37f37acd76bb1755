// Walking a change-notification buffer. Pure: takes bytes and a length, so
// tests and fuzzers can feed it any buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct NotifyRecord {
    uint32_t action = 0;
    std::wstring name;  // relative to the watched folder, UTF-16 code units
};

// Record layout: next-entry offset (4 bytes), action (4), name length in
// bytes (4), then the name in UTF-16, not terminated. The walk never reads
// outside [bytes, bytes + length): a record whose header does not fit ends
// it, a name running past the end is cut at the end, and an offset of 0 or
// one pointing past the end is the last record. Offsets only move forward,
// so the walk always ends.
std::vector<NotifyRecord> ParseNotifyBuffer(const uint8_t* bytes, size_t length);

// "added", "removed", "modified", "renamed_old", "renamed_new" or "unknown".
const char* ActionText(uint32_t action);
