// ClassifyContent over arbitrary samples, sizes and names. Byte 0 picks the
// name (a known extension, or with its top bit set the next line as raw
// 16-bit units); bytes 1-8 the stat'ed size; byte 9 where the head ends in
// the rest (times 32); what follows the head is the middle sample. Each
// sample is copied to a buffer of its exact size so a read past it is seen.
// The rest is given once more as the file's tail (the structure checks).
// Properties: a known verdict; entropies within [0, 8] (-1 without a middle);
// short printable evidence; the middle ignored when the file is not larger
// than kContentMiddleFrom; names the check does not know are never judged.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fsmon/content_classifier.h"
#include "fuzz_support.h"

namespace {

const wchar_t* const kNames[] = {L"a.docx", L"a.DOC", L"a.pdf",   L"a.png",    L"a.jpg",  L"a.zip",
                                 L"a.7z",   L"a.txt", L"a.csv",   L"a.sqlite", L"a.bmp",  L"a.wav",
                                 L"a.mp3",  L"a.mp4", L"a.rtf",   L"a.tar",    L"a.heic", L"a.json",
                                 L"a.exe",  L"noext", L"d.txt\\x"};

bool Printable(const std::string& s) {
    if (s.size() > 80) return false;
    for (char c : s) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

void CheckEvidence(const ContentEvidence& e, bool hasMiddle) {
    const std::string name = ContentVerdictName(e.verdict);
    FUZZ_CHECK(name == "as_claimed" || name == "unknown" || name == "encrypted_like");
    FUZZ_CHECK(e.headEntropy >= 0 && e.headEntropy <= 8);
    if (hasMiddle) {
        FUZZ_CHECK(e.middleEntropy >= 0 && e.middleEntropy <= 8);
    } else {
        FUZZ_CHECK(e.middleEntropy == -1 && !e.middleChecked);
    }
    FUZZ_CHECK(Printable(e.expected) && Printable(e.found));
}

bool Same(const ContentEvidence& a, const ContentEvidence& b) {
    return a.verdict == b.verdict && a.expected == b.expected && a.found == b.found &&
           a.headEntropy == b.headEntropy && a.middleChecked == b.middleChecked;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 10) return 0;
    size_t at = 10;
    std::wstring name;
    if (data[0] & 0x80) {
        const uint8_t* nl = static_cast<const uint8_t*>(std::memchr(data + at, '\n', size - at));
        const size_t end = nl ? size_t(nl - data) : size;
        name = WideFromUnits16(BytesOf(data + at, end - at));
        at = nl ? end + 1 : size;
    } else {
        name = kNames[data[0] % (sizeof kNames / sizeof kNames[0])];
    }
    uint64_t fileSize = 0;
    for (int i = 0; i < 8; ++i) fileSize |= uint64_t(data[1 + i]) << (8 * i);
    const size_t rest = size - at;
    const size_t headSize = std::min(rest, size_t(data[9]) * 32);
    const std::vector<uint8_t> head(data + at, data + at + headSize);
    const std::vector<uint8_t> middle(data + at + headSize, data + size);
    const bool hasMiddle = !middle.empty();

    const ContentEvidence e =
        ClassifyContent(name, fileSize, head.data(), head.size(), middle.data(), middle.size());
    CheckEvidence(e, hasMiddle);
    if (!IsContentCheckedName(name)) FUZZ_CHECK(e.verdict == ContentVerdict::kUnknown);
    if (head.empty()) FUZZ_CHECK(e.verdict != ContentVerdict::kEncryptedLike);

    // Without a middle sample only the head decides; a file this small has none.
    const ContentEvidence headOnly = ClassifyContent(name, fileSize, head.data(), head.size(), nullptr, 0);
    CheckEvidence(headOnly, false);
    if (fileSize <= kContentMiddleFrom) FUZZ_CHECK(Same(e, headOnly));
    // The middle only ever adds a finding to an intact head.
    if (headOnly.verdict == ContentVerdict::kEncryptedLike)
        FUZZ_CHECK(e.verdict == ContentVerdict::kEncryptedLike);
    if (e.verdict != headOnly.verdict)
        FUZZ_CHECK(headOnly.verdict == ContentVerdict::kAsClaimed && e.middleChecked);
    FUZZ_CHECK(
        Same(e, ClassifyContent(name, fileSize, head.data(), head.size(), middle.data(), middle.size())));

    // The same bytes as the file's end as well: the structure checks read
    // the tail (and the head) at offsets taken from the data itself.
    ContentSamples s;
    s.fileSize = fileSize;
    s.head = head.data();
    s.headSize = head.size();
    s.middle = middle.data();
    s.middleSize = middle.size();
    const std::vector<uint8_t> tail(middle.begin(), middle.end());
    s.tail = tail.data();
    s.tailSize = tail.size();
    const ContentEvidence t = ClassifySamples(name, s);
    CheckEvidence(t, hasMiddle);
    if (t.trailerOnly) FUZZ_CHECK(t.verdict == ContentVerdict::kEncryptedLike);
    if (!IsContentCheckedName(name)) FUZZ_CHECK(t.verdict == ContentVerdict::kUnknown);
    // The renamed-file form: any name claims the format of the old one.
    FUZZ_CHECK(Same(t, ClassifySamples(name, s)));
    return 0;
}
