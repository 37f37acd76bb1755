#include "procmon/process_list_buffer.h"

#include <cstring>

namespace {

template <typename T>
T ReadAt(const uint8_t* data, size_t offset) {
    T value;
    std::memcpy(&value, data + offset, sizeof value);  // records need not be aligned for us
    return value;
}

std::wstring ReadName(const uint8_t* data, size_t size, uint64_t address, uint64_t nameAddress,
                      size_t bytes) {
    if (bytes < 2 || nameAddress < address) return std::wstring();
    const uint64_t offset = nameAddress - address;
    if (offset > size || bytes > size - offset) return std::wstring();
    std::wstring name;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        const uint16_t unit = static_cast<uint16_t>(data[offset + i] | (data[offset + i + 1] << 8));
        if (unit == 0) break;
        name += static_cast<wchar_t>(unit);
    }
    return name;
}

}  // namespace

bool WalkProcessList(const uint8_t* data, size_t size, uint64_t address, std::vector<ProcessListEntry>& out) {
    if (data == nullptr) return false;
    size_t at = 0;
    for (;;) {
        if (size < kProcRecordMinSize || at > size - kProcRecordMinSize) return false;
        const uint8_t* record = data + at;
        ProcessListEntry entry;
        entry.pid = static_cast<uint32_t>(ReadAt<uint64_t>(record, kProcRecordPid));
        entry.createTime = ReadAt<int64_t>(record, kProcRecordCreateTime);
        entry.name = ReadName(data, size, address, ReadAt<uint64_t>(record, kProcRecordNameBuffer),
                              ReadAt<uint16_t>(record, kProcRecordNameLength));
        out.push_back(std::move(entry));
        const uint32_t next = ReadAt<uint32_t>(record, kProcRecordNextOffset);
        if (next == 0) return true;
        if (next < kProcRecordMinSize || next > size - at) return false;
        at += next;
    }
}
