#include <gtest/gtest.h>

#include <cstring>

#include "fsmon/notify_records.h"

namespace {

// Appends one record; `next` 0 marks the last. Names are UTF-16 code units.
void Put(std::vector<uint8_t>& buf, uint32_t next, uint32_t action, const std::vector<uint16_t>& name,
         uint32_t nameBytes = UINT32_MAX) {
    const size_t at = buf.size();
    const uint32_t len = nameBytes == UINT32_MAX ? static_cast<uint32_t>(name.size() * 2) : nameBytes;
    buf.resize(at + 12 + name.size() * 2);
    std::memcpy(&buf[at], &next, 4);
    std::memcpy(&buf[at + 4], &action, 4);
    std::memcpy(&buf[at + 8], &len, 4);
    for (size_t i = 0; i < name.size(); ++i) std::memcpy(&buf[at + 12 + 2 * i], &name[i], 2);
}

std::vector<uint16_t> U(const char* ascii) {
    std::vector<uint16_t> v;
    for (const char* p = ascii; *p; ++p) v.push_back(static_cast<uint8_t>(*p));
    return v;
}

std::wstring W(const std::vector<uint16_t>& units) { return std::wstring(units.begin(), units.end()); }

}  // namespace

TEST(ParseNotifyBuffer, WalksRecordsByTheirOffsets) {
    std::vector<uint8_t> buf;
    // Records padded to 4-byte boundaries, as the system lays them out.
    Put(buf, 24, 4, U("a.txt"));  // renamed_old; the offset skips padding
    buf.resize(24);
    Put(buf, 0, 5, U("sub\\b.txt"));
    const auto records = ParseNotifyBuffer(buf.data(), buf.size());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].action, 4u);
    EXPECT_EQ(records[0].name, L"a.txt");
    EXPECT_EQ(records[1].action, 5u);
    EXPECT_EQ(records[1].name, L"sub\\b.txt");
}

TEST(ParseNotifyBuffer, NamesNoFileSystemWouldMake) {
    const std::vector<std::vector<uint16_t>> names = {
        U("quote\"back\\slash"), {0x0001, 0x001f, 0x000a}, {0xD800}, {0xDC00, 0x0041}, {}, U("x")};
    std::vector<uint8_t> buf;
    for (size_t i = 0; i < names.size(); ++i) {
        const size_t size = 12 + names[i].size() * 2;
        Put(buf, i + 1 == names.size() ? 0 : static_cast<uint32_t>(size), 3, names[i]);
    }
    const auto records = ParseNotifyBuffer(buf.data(), buf.size());
    ASSERT_EQ(records.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(records[i].name, W(names[i])) << i;
}

TEST(ParseNotifyBuffer, NeverReadsOutsideOrLoopsForever) {
    struct Case {
        const char* what;
        std::vector<uint8_t> buf;
        size_t length;
        size_t records;
        std::wstring lastName;
    };
    std::vector<Case> cases;
    {
        std::vector<uint8_t> b;
        Put(b, 0, 1, U("abc"), 4000);  // name length far past the end: cut at the end
        cases.push_back({"name too long", b, b.size(), 1, L"abc"});
    }
    {
        std::vector<uint8_t> b;
        Put(b, 1000, 1, U("abc"));  // next record beyond the buffer: this is the last
        cases.push_back({"offset past end", b, b.size(), 1, L"abc"});
    }
    {
        std::vector<uint8_t> b;
        Put(b, 3, 1, U("ab"));  // offset 3: a second "header" made of the first record's bytes
        cases.push_back({"tiny offset", b, b.size(), 2, L""});
    }
    {
        std::vector<uint8_t> b;
        Put(b, 0, 1, U("abc"), 5);  // odd byte count: whole code units only
        cases.push_back({"odd name length", b, b.size(), 1, L"ab"});
    }
    {
        std::vector<uint8_t> b;
        Put(b, 0, 2, U("x"), 1);  // below 2 bytes: empty name
        cases.push_back({"one byte name", b, b.size(), 1, L""});
    }
    cases.push_back({"shorter than a header", std::vector<uint8_t>(11, 0xff), 11, 0, L""});
    cases.push_back({"empty", {}, 0, 0, L""});
    {
        // A record pointing to itself would loop forever if 0 were not the end.
        std::vector<uint8_t> b;
        Put(b, 0, 1, U("loop"));
        cases.push_back({"zero offset", b, b.size(), 1, L"loop"});
    }
    for (Case& c : cases) {
        // Copy into an exactly sized heap block so reading past it is caught
        // by the sanitizers in the native build.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[c.length ? c.length : 1]);
        if (c.length) std::memcpy(exact.get(), c.buf.data(), c.length);
        const auto records = ParseNotifyBuffer(exact.get(), c.length);
        ASSERT_EQ(records.size(), c.records) << c.what;
        if (!records.empty()) {
            EXPECT_EQ(records.back().name, c.lastName) << c.what;
        }
    }
    // Many tiny forward steps still end.
    std::vector<uint8_t> chain(4096, 0);
    for (size_t at = 0; at + 12 <= chain.size(); at += 12) {
        const uint32_t next = 12;
        std::memcpy(&chain[at], &next, 4);
    }
    EXPECT_EQ(ParseNotifyBuffer(chain.data(), chain.size()).size(), 4096u / 12);
}

TEST(ActionText, Table) {
    const char* want[] = {"unknown", "added", "removed", "modified", "renamed_old", "renamed_new", "unknown"};
    for (uint32_t a = 0; a < 7; ++a) EXPECT_STREQ(ActionText(a), want[a]);
    EXPECT_STREQ(ActionText(0xFFFFFFFF), "unknown");
}
