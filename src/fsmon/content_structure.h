// Structure beyond the signature, for the content check: an encryptor that
// keeps a file's first bytes (or its first 4 KiB) leaves the signature in
// place, so the check also reads the records that follow it and the record a
// format ends with. Pure: the samples come from the caller. Every test here
// is one that any file written by an ordinary program passes, cut short or
// not; a file still being written has no end record yet, which is why a
// missing end record counts only once the file has gone quiet (the worker
// waits for that).
#pragma once

#include <cstddef>
#include <cstdint>

// What the check gets of a file: the head (the first up to 4 KiB), the
// middle sample (4 KiB), and the tail (the file's last tailSize bytes; the
// head again when the file is no longer than the head).
struct ContentSamples {
    uint64_t fileSize = 0;
    const uint8_t* head = nullptr;
    size_t headSize = 0;
    const uint8_t* middle = nullptr;
    size_t middleSize = 0;
    const uint8_t* tail = nullptr;
    size_t tailSize = 0;
};

struct StructureFinding {
    bool headBroken = false;  // a record the head must hold is not there, or is nonsense
    size_t brokenAt = 0;      // head offset from which the bytes no longer follow the format
    bool tailBroken = false;  // the record the format ends with is missing or nonsense
    const char* what = "";    // which record, for the log: "local header", "end record" ...
};

// The checks for one format, named as the classifier's signature table names
// it ("zip", "pdf", "png", "jpeg", ...). Formats without checks: nothing broken.
StructureFinding CheckStructure(const char* format, const ContentSamples& s);

// CRC-32 (IEEE 802.3, as zip, PNG and 7z use it).
uint32_t Crc32(const uint8_t* data, size_t size);

// Whether a JPEG's entropy-coded bytes are broken: an 0xFF that is neither
// stuffed (0xFF 0x00), a restart marker, fill nor the end marker. Cipher
// output breaks that rule about 16 times in 4 KiB.
size_t JpegStuffingFaults(const uint8_t* data, size_t size);
