#include "procmon/process_list_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Builds a buffer of records as the list query lays them out: each record is
// `recordSize` bytes followed by its UTF-16LE name; `address` is where the
// buffer pretends to lie.
struct ListBuilder {
    static constexpr uint64_t kAddress = 0x7ff000010000ull;
    static constexpr size_t kRecordSize = 184;  // the real 64-bit record, threads left out
    std::vector<uint8_t> bytes;
    std::vector<size_t> starts;

    template <typename T>
    void Put(size_t at, T value) {
        std::memcpy(bytes.data() + at, &value, sizeof value);
    }

    void Add(uint64_t pid, int64_t created, const std::u16string& name) {
        const size_t at = bytes.size();
        if (!starts.empty()) Put<uint32_t>(starts.back(), static_cast<uint32_t>(at - starts.back()));
        starts.push_back(at);
        bytes.resize(at + kRecordSize + name.size() * 2 + 8);
        Put<int64_t>(at + kProcRecordCreateTime, created);
        Put<uint16_t>(at + kProcRecordNameLength, static_cast<uint16_t>(name.size() * 2));
        Put<uint16_t>(at + kProcRecordNameLength + 2, static_cast<uint16_t>(name.size() * 2 + 2));
        Put<uint64_t>(at + kProcRecordNameBuffer, name.empty() ? 0 : kAddress + at + kRecordSize);
        Put<uint64_t>(at + kProcRecordPid, pid);
        for (size_t i = 0; i < name.size(); ++i) Put<char16_t>(at + kRecordSize + 2 * i, name[i]);
    }

    bool Walk(std::vector<ProcessListEntry>& out, size_t size = SIZE_MAX) const {
        return WalkProcessList(bytes.data(), size == SIZE_MAX ? bytes.size() : size, kAddress, out);
    }
};

std::wstring Wide(const std::u16string& s) {
    return std::wstring(s.begin(), s.end());
}

}  // namespace

TEST(WalkProcessList, ReadsEveryRecordOfAWellFormedList) {
    ListBuilder b;
    b.Add(0, 0, u"");  // the idle process has no name
    b.Add(4, 132000000000000000, u"System");
    b.Add(0x1234, 134413822260954370, u"vssadmin.exe");
    b.Add(0x1ffff0000ull + 8, 7, u"caf\u00e9 \u65e5.exe");  // pid beyond 32 bits is cut to them
    std::vector<ProcessListEntry> out;
    ASSERT_TRUE(b.Walk(out));
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].pid, 0u);
    EXPECT_EQ(out[0].name, L"");
    EXPECT_EQ(out[1].pid, 4u);
    EXPECT_EQ(out[1].createTime, 132000000000000000);
    EXPECT_EQ(out[1].name, L"System");
    EXPECT_EQ(out[2].pid, 0x1234u);
    EXPECT_EQ(out[2].createTime, 134413822260954370);
    EXPECT_EQ(out[2].name, L"vssadmin.exe");
    EXPECT_EQ(out[3].pid, 0xffff0008u);
    EXPECT_EQ(out[3].name, Wide(u"caf\u00e9 \u65e5.exe"));
}

// A damaged record may cost its name or end the walk, never a read outside
// the buffer (the sanitizer build and the fuzzer check that part).
TEST(WalkProcessList, DamagedRecordsAreCutShort) {
    struct Case {
        const char* what;
        void (*damage)(ListBuilder&);
        size_t size;  // SIZE_MAX: the whole buffer
        bool whole;
        size_t entries;
        const wchar_t* secondName;
    } cases[] = {
        {"intact", [](ListBuilder&) {}, SIZE_MAX, true, 3, L"two.exe"},
        {"name before the buffer",
         [](ListBuilder& b) {
             b.Put<uint64_t>(b.starts[1] + kProcRecordNameBuffer, ListBuilder::kAddress - 2);
         },
         SIZE_MAX, true, 3, L""},
        {"name running past the end",
         [](ListBuilder& b) { b.Put<uint16_t>(b.starts[1] + kProcRecordNameLength, 0xfffe); }, SIZE_MAX, true,
         3, L""},
        {"name pointer far away",
         [](ListBuilder& b) { b.Put<uint64_t>(b.starts[1] + kProcRecordNameBuffer, ~0ull - 1); }, SIZE_MAX,
         true, 3, L""},
        {"odd name length drops the half unit",
         [](ListBuilder& b) { b.Put<uint16_t>(b.starts[1] + kProcRecordNameLength, 7); }, SIZE_MAX, true, 3,
         L"two"},
        {"a NUL ends the name",
         [](ListBuilder& b) { b.Put<char16_t>(b.starts[1] + ListBuilder::kRecordSize + 6, u'\0'); }, SIZE_MAX,
         true, 3, L"two"},
        {"next offset past the end",
         [](ListBuilder& b) { b.Put<uint32_t>(b.starts[1], static_cast<uint32_t>(b.bytes.size())); },
         SIZE_MAX, false, 2, L"two.exe"},
        {"next offset shorter than a record",
         [](ListBuilder& b) { b.Put<uint32_t>(b.starts[1], kProcRecordMinSize - 1); }, SIZE_MAX, false, 2,
         L"two.exe"},
        {"buffer ends inside the last record", [](ListBuilder&) {}, 2 * 200 + 20, false, 2, L"two.exe"},
        {"buffer smaller than one record", [](ListBuilder&) {}, kProcRecordMinSize - 1, false, 0, L""},
        {"empty buffer", [](ListBuilder&) {}, 0, false, 0, L""},
    };
    for (const Case& c : cases) {
        ListBuilder b;
        b.Add(10, 1, u"one.exe");
        b.Add(20, 2, u"two.exe");
        b.Add(30, 3, u"three.exe");
        c.damage(b);
        std::vector<ProcessListEntry> out;
        EXPECT_EQ(b.Walk(out, c.size), c.whole) << c.what;
        ASSERT_EQ(out.size(), c.entries) << c.what;
        if (c.entries > 1) {
            EXPECT_EQ(out[1].pid, 20u) << c.what;
            EXPECT_EQ(out[1].name, c.secondName) << c.what;
        }
    }
}

TEST(WalkProcessList, AppendsToWhatTheListHeldAndRejectsNoBuffer) {
    ListBuilder b;
    b.Add(42, 1, u"a.exe");
    std::vector<ProcessListEntry> out(1);
    ASSERT_TRUE(b.Walk(out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].pid, 42u);
    EXPECT_FALSE(WalkProcessList(nullptr, 4096, ListBuilder::kAddress, out));
    EXPECT_EQ(out.size(), 2u);
}
