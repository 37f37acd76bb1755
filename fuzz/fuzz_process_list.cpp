// The walk of the native process list's records on arbitrary bytes. The
// buffer pretends to lie at kAddress, so the input's name pointers can land
// inside it, before it or after it; libFuzzer's buffer is exactly `size`
// bytes, so any read past it is an ASan report, and an endless walk a timeout.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "procmon/process_list_buffer.h"

namespace {

constexpr uint64_t kAddress = 0x10000;

void CheckWalk(const uint8_t* bytes, size_t length) {
    std::vector<ProcessListEntry> entries;
    const bool whole = WalkProcessList(bytes, length, kAddress, entries);
    if (length < kProcRecordMinSize) {
        FUZZ_CHECK(!whole && entries.empty());
        return;
    }
    FUZZ_CHECK(!entries.empty());
    // Records start at least a record apart and each lies inside the buffer.
    FUZZ_CHECK(entries.size() <= length / kProcRecordMinSize);
    uint64_t pid = 0;
    std::memcpy(&pid, bytes + kProcRecordPid, sizeof pid);
    FUZZ_CHECK(entries[0].pid == static_cast<uint32_t>(pid));
    for (const ProcessListEntry& e : entries) {
        for (const wchar_t c : e.name) FUZZ_CHECK(c != 0 && static_cast<uint32_t>(c) <= 0xFFFF);
        FUZZ_CHECK(e.name.size() <= length / 2);
    }
    uint32_t next = 0;
    std::memcpy(&next, bytes, sizeof next);
    if (whole && next == 0) FUZZ_CHECK(entries.size() == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<ProcessListEntry> none;
    FUZZ_CHECK(!WalkProcessList(nullptr, size, kAddress, none) && none.empty());
    CheckWalk(data, size);
    if (size > 0) {
        const size_t shorter = size - 1 - (size > 1 ? data[0] % (size - 1) : 0);
        std::vector<uint8_t> copy(data, data + shorter);
        CheckWalk(copy.data(), copy.size());
    }
    return 0;
}
