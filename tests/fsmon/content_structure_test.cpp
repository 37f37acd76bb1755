// The structure checks on hand-built files: each case damages one record, or
// cuts the file short, and says what the check must find.
#include "fsmon/content_structure.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/chacha20.h"

namespace {

using Bytes = std::string;

void Le16(Bytes& b, uint32_t v) {
    b += char(v & 0xFF), b += char((v >> 8) & 0xFF);
}
void Le32(Bytes& b, uint32_t v) {
    Le16(b, v & 0xFFFF), Le16(b, v >> 16);
}
void Be32(Bytes& b, uint32_t v) {
    b += char(v >> 24), b += char((v >> 16) & 0xFF), b += char((v >> 8) & 0xFF), b += char(v & 0xFF);
}

// Cipher output from `from` to the end.
Bytes Encrypted(Bytes b, size_t from) {
    static const uint8_t kKey[32] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3,
                                     2, 3, 8, 4, 6, 2, 6, 4, 3, 3, 8, 3, 2, 7, 9, 5};
    static const uint8_t kNonce[12] = {7};
    if (from < b.size()) ChaCha20Xor(kKey, kNonce, 0, reinterpret_cast<uint8_t*>(&b[from]), b.size() - from);
    return b;
}

Bytes Noise(size_t n, size_t seed) {
    return Encrypted(Bytes(n + seed, '\0'), 0).substr(seed);
}

// A stored zip of `count` entries of `size` bytes each (noise: as random as
// deflate output), with its central directory and end record.
Bytes Zip(int count, size_t size) {
    Bytes out, central;
    for (int i = 0; i < count; ++i) {
        const std::string name = "word/part" + std::to_string(i) + ".xml";
        const uint32_t offset = uint32_t(out.size());
        Le32(out, 0x04034b50), Le16(out, 20), Le16(out, 0), Le16(out, 8), Le16(out, 0), Le16(out, 0);
        Le32(out, 0), Le32(out, uint32_t(size)), Le32(out, uint32_t(size)), Le16(out, uint32_t(name.size()));
        Le16(out, 0);
        out += name + Noise(size, size_t(i) * 7);
        Le32(central, 0x02014b50), Le16(central, 20), Le16(central, 20), Le16(central, 0), Le16(central, 8);
        Le32(central, 0), Le32(central, 0), Le32(central, uint32_t(size)), Le32(central, uint32_t(size));
        Le16(central, uint32_t(name.size())), Le16(central, 0), Le16(central, 0), Le16(central, 0);
        Le16(central, 0), Le32(central, 0), Le32(central, offset);
        central += name;
    }
    const uint32_t at = uint32_t(out.size());
    out += central;
    Le32(out, 0x06054b50), Le16(out, 0), Le16(out, 0), Le16(out, uint32_t(count)), Le16(out, uint32_t(count));
    Le32(out, uint32_t(central.size())), Le32(out, at), Le16(out, 0);
    return out;
}

Bytes Chunk(const char* type, const Bytes& data) {
    Bytes c;
    Be32(c, uint32_t(data.size()));
    const Bytes body = std::string(type, 4) + data;
    c += body;
    Be32(c, Crc32(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
    return c;
}

// A PNG whose image data comes in chunks of 8 KiB, as encoders write it.
Bytes Png(size_t dataChunks) {
    Bytes ihdr;
    Be32(ihdr, 640), Be32(ihdr, 480);
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);
    Bytes out = std::string("\x89PNG\r\n\x1A\n", 8) + Chunk("IHDR", ihdr);
    for (size_t i = 0; i < dataChunks; ++i) out += Chunk("IDAT", Noise(8192, i));
    return out + Chunk("IEND", "");
}

Bytes Pdf(size_t streamBytes) {
    return "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Length " + std::to_string(streamBytes) +
           " >>\nstream\n" + Noise(streamBytes, 3) +
           "\nendstream\nendobj\nxref\n0 1\ntrailer\n<< >>\nstartxref\n15\n%%EOF\n";
}

Bytes Jpeg(size_t scanBytes) {
    Bytes out("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20);
    out += std::string("\xFF\xDA\x00\x0C\x03\x01\x00\x02\x11\x03\x11\x00\x3F\x00", 14);
    for (char c : Noise(scanBytes, 9)) {
        out += c;
        if (c == '\xFF') out += '\0';
    }
    return out + "\xFF\xD9";
}

// Samples as the worker takes them: 4 KiB head, the last `tail` bytes.
StructureFinding Check(const char* format, const Bytes& file, size_t tail = 4096) {
    ContentSamples s;
    s.fileSize = file.size();
    s.head = reinterpret_cast<const uint8_t*>(file.data());
    s.headSize = std::min<size_t>(file.size(), 4096);
    if (file.size() > 4096) {
        tail = std::min(tail, file.size());
        s.tail = s.head + file.size() - tail;
        s.tailSize = tail;
    }
    return CheckStructure(format, s);
}

enum Want { kSound, kHead, kTail };

}  // namespace

TEST(ContentStructure, DamageAndFilesCutShort) {
    const Bytes zip = Zip(6, 3000), png = Png(6), pdf = Pdf(30000), jpeg = Jpeg(30000);
    Bytes badName = zip;
    badName[31] = '\x01';
    Bytes badCrc = png;
    badCrc[20] ^= 1;
    const struct {
        const char* what;
        const char* format;
        Bytes file;
        size_t tail;
        Want want;
    } cases[] = {
        {"zip", "zip", zip, 65557, kSound},
        {"zip, a control byte in the entry name", "zip", badName, 65557, kHead},
        {"zip, signature kept", "zip", Encrypted(zip, 16), 65557, kHead},
        {"zip, tail only", "zip", Encrypted(zip, 4096), 65557, kTail},
        {"zip, cut inside an entry", "zip", zip.substr(0, 9000), 65557, kSound},
        {"zip, cut inside an entry, end past the samples", "zip", Zip(2, 200000).substr(0, 150000), 65557,
         kSound},
        {"png", "png", png, 4096, kSound},
        {"png, header CRC wrong", "png", badCrc, 4096, kHead},
        {"png, signature kept", "png", Encrypted(png, 16), 4096, kHead},
        {"png, tail only", "png", Encrypted(png, 4096), 4096, kTail},
        {"png, cut short (a data chunk header in the tail)", "png", png.substr(0, 27000), 4096, kSound},
        {"png, cut inside the chunk the head ends in", "png", png.substr(0, 7000), 4096, kSound},
        {"pdf", "pdf", pdf, 4096, kSound},
        {"pdf, signature kept", "pdf", Encrypted(pdf, 16), 4096, kHead},
        {"pdf, tail only", "pdf", Encrypted(pdf, 4096), 4096, kTail},
        {"jpeg", "jpeg", jpeg, 4096, kSound},
        {"jpeg, signature kept", "jpeg", Encrypted(jpeg, 16), 4096, kHead},
        {"jpeg, tail only", "jpeg", Encrypted(jpeg, 4096), 4096, kTail},
        {"jpeg, cut inside the scan", "jpeg", jpeg.substr(0, 20000), 4096, kSound},
        {"a format without checks", "bzip2", Encrypted(zip, 3), 4096, kSound},
    };
    for (const auto& c : cases) {
        const StructureFinding f = Check(c.format, c.file, c.tail);
        EXPECT_EQ(f.headBroken, c.want == kHead) << c.what << ": " << f.what;
        EXPECT_EQ(f.tailBroken, c.want == kTail) << c.what << ": " << f.what;
        if (f.headBroken) {
            EXPECT_LT(f.brokenAt, std::min<size_t>(c.file.size(), 4096)) << c.what;
        }
    }
}

// Without a tail (a file larger than its head, no end read) no end is judged.
TEST(ContentStructure, NoTailNoEndVerdict) {
    const Bytes zip = Encrypted(Zip(6, 3000), 4096);
    ContentSamples s;
    s.fileSize = zip.size();
    s.head = reinterpret_cast<const uint8_t*>(zip.data());
    s.headSize = 4096;
    EXPECT_FALSE(CheckStructure("zip", s).tailBroken);
}

TEST(ContentStructure, Crc32AndStuffing) {
    EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);  // the check value
    const uint8_t scan[] = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD3, 0xFF, 0xFF, 0xD9, 0xFF, 0x12, 0xFF, 0xC4};
    EXPECT_EQ(JpegStuffingFaults(scan, sizeof scan), 2u);
}
