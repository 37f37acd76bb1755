// The change-record walker on arbitrary bytes and lengths. libFuzzer hands
// over a buffer of exactly `size` bytes, so any read past it is an ASan
// report; an endless walk is a timeout.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fsmon/notify_records.h"
#include "fuzz_support.h"

namespace {

void CheckWalk(const uint8_t* bytes, size_t length) {
    const std::vector<NotifyRecord> records = ParseNotifyBuffer(bytes, length);
    if (length < 12) {
        FUZZ_CHECK(records.empty());
        return;
    }
    FUZZ_CHECK(!records.empty());
    // Every record starts at least one byte after the one before and has a whole header.
    FUZZ_CHECK(records.size() <= length - 11);
    uint32_t action = 0;
    std::memcpy(&action, bytes + 4, 4);
    FUZZ_CHECK(records[0].action == action);
    for (const NotifyRecord& r : records) {
        FUZZ_CHECK(ActionText(r.action) != nullptr);
        for (const wchar_t c : r.name) FUZZ_CHECK(static_cast<uint32_t>(c) <= 0xFFFF);
    }
    FUZZ_CHECK(records[0].name.size() <= (length - 12) / 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FUZZ_CHECK(ParseNotifyBuffer(nullptr, size).empty());
    CheckWalk(data, size);
    // Every shorter length of the same bytes, and an unaligned start, in a
    // buffer of exactly that size.
    if (size > 0) {
        const size_t shorter = size - 1 - (size > 1 ? data[0] % (size - 1) : 0);
        std::vector<uint8_t> copy(data, data + shorter);
        CheckWalk(copy.data(), copy.size());
        std::vector<uint8_t> tail(data + 1, data + size);
        CheckWalk(tail.data(), tail.size());
    }
    return 0;
}
