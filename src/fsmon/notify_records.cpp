#include "fsmon/notify_records.h"

#include <cstring>

namespace {
uint32_t ReadU32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
}  // namespace

std::vector<NotifyRecord> ParseNotifyBuffer(const uint8_t* bytes, size_t length) {
    std::vector<NotifyRecord> records;
    if (!bytes) return records;
    constexpr size_t kHeader = 12;
    size_t offset = 0;
    while (offset <= length && length - offset >= kHeader) {
        const uint8_t* rec = bytes + offset;
        const uint32_t next = ReadU32(rec);
        NotifyRecord r;
        r.action = ReadU32(rec + 4);
        size_t nameBytes = ReadU32(rec + 8);
        const size_t available = length - offset - kHeader;
        if (nameBytes > available) nameBytes = available;
        const size_t units = nameBytes / 2;
        r.name.resize(units);
        for (size_t i = 0; i < units; ++i) {
            uint16_t u;
            std::memcpy(&u, rec + kHeader + 2 * i, 2);
            r.name[i] = static_cast<wchar_t>(u);
        }
        records.push_back(std::move(r));
        if (next == 0 || next > length - offset) break;
        offset += next;
    }
    return records;
}

const char* ActionText(uint32_t action) {
    switch (action) {
        case 1: return "added";
        case 2: return "removed";
        case 3: return "modified";
        case 4: return "renamed_old";
        case 5: return "renamed_new";
        default: return "unknown";
    }
}
