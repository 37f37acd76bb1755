// The records that the native process-list query (SystemProcessInformation)
// writes, walked without ever reading outside the buffer. The layout is the
// 64-bit one. Pure, so the walk is tested and fuzzed on hand-built buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "procmon/process_snapshot_diff.h"

// Where the fields sit in one record (little-endian).
constexpr size_t kProcRecordNextOffset = 0;   // uint32: bytes to the next record, 0 for the last
constexpr size_t kProcRecordCreateTime = 32;  // int64: creation time, 100-ns units since 1601
constexpr size_t kProcRecordNameLength = 56;  // uint16: image name length in bytes
constexpr size_t kProcRecordNameBuffer = 64;  // uint64: address of the image name (UTF-16LE)
constexpr size_t kProcRecordPid = 80;         // uint64: process id
constexpr size_t kProcRecordMinSize = 88;     // the fields above; a real record is larger

// Appends one entry per record of the `size` bytes at `data`. `address` is
// where the buffer lay when the query filled it: a name is an absolute
// address and is read only when it lies wholly inside the buffer (otherwise
// the entry's name is empty); it ends at its length or its first NUL. Returns
// false, keeping the entries before it, at a record that does not fit or
// whose next offset is shorter than a record or leaves the buffer.
bool WalkProcessList(const uint8_t* data, size_t size, uint64_t address, std::vector<ProcessListEntry>& out);
