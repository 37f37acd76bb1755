// The content check (setting extendedDetection): whether a file's sampled
// bytes still look like the format its extension claims, or like the output
// of a cipher. Pure: the caller reads the samples (the first 4 KiB and, for
// files over 64 KiB, 4 KiB from the middle) and this module only judges them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fsmon/content_structure.h"

enum class ContentVerdict { kAsClaimed, kUnknown, kEncryptedLike };

// "as_claimed", "unknown", "encrypted_like".
const char* ContentVerdictName(ContentVerdict v);

constexpr size_t kContentSampleBytes = 4096;        // each sample
constexpr uint64_t kContentMiddleFrom = 64 * 1024;  // files larger than this also get a middle sample

struct ContentEvidence {
    ContentVerdict verdict = ContentVerdict::kUnknown;
    // The claimed format's signature, short ASCII, e.g. "zip PK\\x03\\x04", "%PDF-", "text".
    std::string expected;
    // What the head holds: a recognised format name, "no signature", "binary bytes" ...
    std::string found;
    double headEntropy = 0;      // bits per byte of the head sample
    double middleEntropy = -1;   // -1 when there is no middle sample
    bool middleChecked = false;  // the format's middle is checkable and the middle sample was judged
    // The verdict rests on the file's end alone (a missing or broken end
    // record): a file still being written looks the same, so the worker
    // judges it again once the file has been quiet (kTrailerQuietMs).
    bool trailerOnly = false;
};

// The tail sample: the last 4 KiB, or for zip-based formats the span in
// which the end of central directory record may lie (22 bytes and a comment
// of up to 65,535).
constexpr size_t kContentTailBytes = 4096;
constexpr size_t kZipTailBytes = 65557;
// How many of the file's last bytes the check wants for this claimed name; 0
// when the head already holds the whole file or the name is not checked.
size_t TailSampleSize(const std::wstring& claimName, uint64_t fileSize);

// Whether the name's extension (any case) is a format the check knows; only
// these are sampled.
bool IsContentCheckedName(const std::wstring& relativeName);

// Offset of the middle sample for a file of this size (> kContentMiddleFrom),
// 4 KiB aligned.
uint64_t MiddleSampleOffset(uint64_t fileSize);

// Byte (Shannon) entropy in bits per byte; 0 for an empty sample.
double ByteEntropy(const uint8_t* data, size_t size);

// The judgement. head: the first min(size, 4 KiB) bytes; middle: 4 KiB from
// MiddleSampleOffset (null/0 when the file is not larger than
// kContentMiddleFrom). fileSize as stat'ed. Never reads beyond the given sizes.
ContentEvidence ClassifyContent(const std::wstring& relativeName, uint64_t fileSize, const uint8_t* head,
                                size_t headSize, const uint8_t* middle, size_t middleSize);

// The whole judgement, with the tail and the structure checks
// (fsmon/content_structure.h). claimName decides the claimed format: the
// file's own name, or for a renamed file the name it had before. A file that
// holds another recognised format with a sound structure is a conversion,
// never encrypted-like.
ContentEvidence ClassifySamples(const std::wstring& claimName, const ContentSamples& samples);
