// Each check reads only what the format's documentation fixes, and a file cut
// short is never "broken": a record that runs past the end of the file is
// what a truncated or unfinished file looks like, so only records inside the
// samples are judged.
#include "fsmon/content_structure.h"

#include <algorithm>
#include <cstring>

#include "fsmon/byte_fields.h"

namespace {

using byte_fields::At;
using byte_fields::Be16;
using byte_fields::Be32;
using byte_fields::Le16;
using byte_fields::Le32;
using byte_fields::Le64;

bool Printable(uint8_t c) {
    return c >= 0x20 && c < 0x7F;
}
// A four-character code of a chunk or box: printable ASCII (a box type may use ©).
bool FourCc(const uint8_t* p) {
    for (int i = 0; i < 4; ++i)
        if (!Printable(p[i]) && p[i] != 0xA9) return false;
    return true;
}

StructureFinding Broken(size_t at, const char* what) {
    StructureFinding f;
    f.headBroken = true;
    f.brokenAt = at;
    f.what = what;
    return f;
}
StructureFinding TailBroken(const char* what) {
    StructureFinding f;
    f.tailBroken = true;
    f.what = what;
    return f;
}

// The tail's offset in the file.
uint64_t TailOffset(const ContentSamples& s) {
    return s.fileSize >= s.tailSize ? s.fileSize - s.tailSize : 0;
}

// --- zip: the first local header, and the end of central directory record.
StructureFinding Zip(const ContentSamples& s) {
    const uint8_t* h = s.head;
    const size_t n = s.headSize;
    if (At(h, n, 0, "PK\x03\x04", 4) && n >= 30) {
        static const uint16_t kMethods[] = {0,  1,  2,  3,  4,  5,  6,  8,  9,  10, 12,
                                            14, 18, 19, 20, 93, 94, 95, 96, 97, 98, 99};
        const uint16_t method = Le16(h + 8);
        bool known = false;
        for (uint16_t m : kMethods) known = known || m == method;
        const uint16_t nameLen = Le16(h + 26);
        if (!known || h[4] > 90 || nameLen == 0 || nameLen > 1024) return Broken(8, "local header");
        for (size_t i = 30; i < 30 + size_t(nameLen) && i < n; ++i) {
            // UTF-8 names are allowed; control bytes never are.
            if (h[i] < 0x20 || h[i] == 0x7F) return Broken(26, "entry name");
        }
    }
    // The end record: 22 bytes and a comment of up to 65,535 that ends the file.
    const uint8_t* t = s.tail;
    const size_t tn = s.tailSize;
    if (tn < 22) return {};
    for (size_t i = tn - 22 + 1; i-- > 0;) {
        if (t[i] == 'P' && At(t, tn, i, "PK\x05\x06", 4) && i + 22 + Le16(t + i + 20) <= tn) return {};
    }
    // No end record: an archive cut short still shows its headers in its last
    // bytes (past the head, which always has one).
    const uint64_t tailAt = TailOffset(s);
    size_t from = tn > 4096 ? tn - 4096 : 0;
    if (tailAt + from < s.headSize)
        from = s.headSize - size_t(tailAt) < tn ? s.headSize - size_t(tailAt) : tn;
    for (size_t i = from; i + 4 <= tn; ++i) {
        if (t[i] == 'P' && (At(t, tn, i, "PK\x01\x02", 4) || At(t, tn, i, "PK\x03\x04", 4))) return {};
    }
    // Follow the entries from the start by their sizes: an entry that runs
    // past the end is a file cut short; one that ends inside the samples on
    // anything but the next header is damage.
    uint64_t pos = 0;
    for (int entries = 0; entries < 4096; ++entries) {
        const uint8_t* p = nullptr;
        size_t avail = 0;
        if (pos + 30 <= n) {
            p = h + pos;
            avail = n - size_t(pos);
        } else if (pos >= tailAt && pos + 30 <= s.fileSize && pos - tailAt + 30 <= tn) {
            p = t + (pos - tailAt);
            avail = tn - size_t(pos - tailAt);
        } else {
            if (pos + 4 > s.fileSize) return {};  // the archive stops inside an entry: cut short
            break;                                // the next header lies between the samples
        }
        (void)avail;
        if (std::memcmp(p, "PK\x01\x02", 4) == 0) return {};  // the central directory is there
        if (std::memcmp(p, "PK\x03\x04", 4) != 0 || (Le16(p + 6) & 0x08)) {
            // Sizes after the data (streamed entries) cannot be followed.
            if (std::memcmp(p, "PK\x03\x04", 4) == 0) break;
            return TailBroken("local header");
        }
        pos += 30 + uint64_t(Le16(p + 26)) + Le16(p + 28) + Le32(p + 18);
    }
    return TailBroken("end of central directory");
}

// --- compound file (old Office, Outlook items): byte order and sector sizes.
StructureFinding Ole(const ContentSamples& s) {
    const uint8_t* h = s.head;
    if (s.headSize < 34) return {};
    const uint16_t shift = Le16(h + 30);
    if (Le16(h + 28) != 0xFFFE || (shift != 9 && shift != 12) || Le16(h + 32) != 6)
        return Broken(8, "compound file header");
    return {};
}

// --- PDF: the header line, an object near the start, %%EOF at the end.
StructureFinding Pdf(const ContentSamples& s) {
    const uint8_t* h = s.head;
    const size_t n = s.headSize;
    size_t p = 0;
    while (p + 8 <= n && p < 1024 && !At(h, n, p, "%PDF-", 5)) ++p;
    if (p + 8 > n) return {};
    if (h[p + 5] < '1' || h[p + 5] > '9' || h[p + 6] != '.' || h[p + 7] < '0' || h[p + 7] > '9')
        return Broken(p + 5, "header line");
    // Every writer puts its first object right after the header comment lines.
    const size_t limit = n < p + 2048 ? n : p + 2048;
    bool object = false;
    for (size_t i = p + 8; i + 3 <= limit && !object; ++i) object = h[i] == 'o' && At(h, n, i, "obj", 3);
    if (!object && limit == p + 2048) return Broken(p + 16, "first object");
    const size_t tn = s.tailSize;
    const size_t from = tn > 1024 ? tn - 1024 : 0;
    for (size_t i = from; i + 5 <= tn; ++i) {
        if (s.tail[i] == '%' && At(s.tail, tn, i, "%%EOF", 5)) return {};
    }
    return TailBroken("%%EOF trailer");
}

// --- PNG: the header chunk with its CRC, the chunks after it, IEND at the end.
StructureFinding Png(const ContentSamples& s) {
    const uint8_t* h = s.head;
    const size_t n = s.headSize;
    if (n < 33) return {};
    if (Be32(h + 8) != 13 || !At(h, n, 12, "IHDR", 4) || Crc32(h + 12, 17) != Be32(h + 29))
        return Broken(16, "IHDR chunk");
    const auto chunkHeader = [](const uint8_t* p) {
        bool letters = Be32(p) < 0x80000000u;
        for (int i = 0; i < 4 && letters; ++i) {
            const uint8_t c = p[4 + i];
            letters = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        }
        return letters;
    };
    uint64_t pos = 33;
    uint32_t lastLen = 0;
    while (pos + 8 <= n) {
        if (!chunkHeader(h + pos)) return Broken(size_t(pos), "chunk header");
        lastLen = Be32(h + pos);
        pos += 12 + uint64_t(lastLen);
    }
    for (size_t i = 0; i + 8 <= s.tailSize; ++i) {
        if (s.tail[i] == 'I' && At(s.tail, s.tailSize, i, "IEND\xAE\x42\x60\x82", 8)) return {};
    }
    // No IEND. The chunk the head ends in runs past the end: a file cut short.
    if (pos + 8 > s.fileSize) return {};
    // Writers split the image data into chunks of one size: where the chain
    // of that size crosses the tail, a file cut short still has chunk headers.
    const uint64_t tailAt = TailOffset(s);
    if (lastLen > 0 && s.tail) {
        const uint64_t step = 12 + uint64_t(lastLen);
        uint64_t at = pos;
        if (at < tailAt) at += (tailAt - at + step - 1) / step * step;
        for (; at + 8 <= s.fileSize && at - tailAt + 8 <= s.tailSize; at += step)
            if (chunkHeader(s.tail + (at - tailAt))) return {};
    }
    return TailBroken("IEND chunk");
}

// --- JPEG: the marker segments up to the scan, the end marker.
StructureFinding Jpeg(const ContentSamples& s) {
    const uint8_t* h = s.head;
    const size_t n = s.headSize;
    size_t pos = 2;
    uint64_t scanAt = 0;  // where the entropy-coded data starts, when the head shows it
    while (pos + 4 <= n) {
        if (h[pos] != 0xFF) return Broken(pos, "marker segment");
        while (pos + 4 <= n && h[pos + 1] == 0xFF) ++pos;  // fill bytes
        if (pos + 4 > n) break;
        const uint8_t m = h[pos + 1];
        if (m == 0xDA) scanAt = pos + 2 + Be16(h + pos + 2);
        if (m == 0xDA || m == 0xD9) break;  // the scan starts, or an empty image ends
        if ((m >= 0xD0 && m <= 0xD8) || m == 0x01) {
            pos += 2;
            continue;
        }
        if (m < 0xC0 || Be16(h + pos + 2) < 2) return Broken(pos, "marker segment");
        pos += 2 + Be16(h + pos + 2);
    }
    // The end: EOI, perhaps padded; otherwise scan bytes must still obey the
    // stuffing rule (a file cut short in the scan does).
    size_t end = s.tailSize;
    while (end > 0 && (s.tail[end - 1] == 0 || s.tail[end - 1] == 0xFF)) --end;
    if (end >= 2 && s.tail[end - 2] == 0xFF && s.tail[end - 1] == 0xD9) return {};
    // Only scan bytes obey it: the tables before the scan may hold any byte.
    const uint64_t tailAt = TailOffset(s);
    const size_t from = scanAt > tailAt ? size_t(std::min<uint64_t>(scanAt - tailAt, s.tailSize)) : 0;
    if (JpegStuffingFaults(s.tail + from, s.tailSize - from) >= 4) return TailBroken("end marker");
    return {};
}

// --- GIF: the trailer byte.
StructureFinding Gif(const ContentSamples& s) {
    size_t end = s.tailSize;
    while (end > 0 && s.tail[end - 1] == 0) --end;
    if (end > 0 && s.tail[end - 1] == 0x3B) return {};
    return TailBroken("trailer");
}

// --- ISO media (MP4, MOV, HEIC ...): box sizes and types, from the start and
// wherever the chain lands inside the tail.
StructureFinding IsoMedia(const ContentSamples& s) {
    uint64_t pos = 0;
    const uint64_t tailAt = TailOffset(s);
    for (int boxes = 0; boxes < 64; ++boxes) {
        const uint8_t* p = nullptr;
        size_t avail = 0;
        if (pos + 16 <= s.headSize) {
            p = s.head + pos;
            avail = s.headSize - size_t(pos);
        } else if (pos >= tailAt && pos + 8 <= s.fileSize && pos - tailAt + 8 <= s.tailSize) {
            p = s.tail + (pos - tailAt);
            avail = s.tailSize - size_t(pos - tailAt);
        } else {
            return {};  // the chain leaves the samples, or the file ends
        }
        const bool inHead = p >= s.head && p < s.head + s.headSize;
        uint64_t size = Be32(p);
        if (size == 1 && avail >= 16) size = (uint64_t(Be32(p + 8)) << 32) | Be32(p + 12);
        if (size == 0) return {};  // to the end of the file
        const bool sane = FourCc(p + 4) && size >= 8;
        const bool ftyp = pos == 0 && At(p, avail, 4, "ftyp", 4);
        bool brands = true;
        if (ftyp) {
            brands = size >= 16 && size <= 1024 && size % 4 == 0;
            for (size_t i = 8; brands && i + 4 <= size && i + 4 <= avail; i += 4)
                brands = FourCc(p + i) || (i == 12);  // the minor version is a number
        }
        if (!sane || !brands) {
            if (inHead) return Broken(size_t(pos), ftyp ? "ftyp box" : "box header");
            return TailBroken("box header");
        }
        pos += size;
    }
    return {};
}

// --- 7z: the start header's CRC, and the end header's CRC when the tail holds it.
StructureFinding SevenZip(const ContentSamples& s) {
    const uint8_t* h = s.head;
    if (s.headSize < 32) return {};
    if (Crc32(h + 12, 20) != Le32(h + 8)) return Broken(12, "start header");
    const uint64_t offset = Le64(h + 12), size = Le64(h + 20);
    const uint64_t tailAt = TailOffset(s);
    if (size == 0 || offset > s.fileSize || size > s.fileSize) return {};
    const uint64_t at = 32 + offset;
    if (at < tailAt || at + size > s.fileSize) return {};
    if (Crc32(s.tail + (at - tailAt), size_t(size)) != Le32(h + 28)) return TailBroken("end header");
    return {};
}

// --- xz: the first block header's CRC; the stream footer's magic ends the
// file (after zero padding).
StructureFinding Xz(const ContentSamples& s) {
    const uint8_t* h = s.head;
    if (s.headSize >= 13 && h[12] != 0) {  // 0 there: an empty stream's index
        const size_t size = (size_t(h[12]) + 1) * 4;
        if (12 + size <= s.headSize && Crc32(h + 12, size - 4) != Le32(h + 12 + size - 4))
            return Broken(12, "block header");
    }
    size_t end = s.tailSize;
    while (end >= 4 && Le32(s.tail + end - 4) == 0) end -= 4;
    if (end >= 2 && s.tail[end - 2] == 'Y' && s.tail[end - 1] == 'Z') return {};
    return TailBroken("stream footer");
}

// --- SQLite: the database header's fixed fields.
StructureFinding Sqlite(const ContentSamples& s) {
    const uint8_t* h = s.head;
    if (s.headSize < 100) return {};
    const uint32_t raw = Be16(h + 16);
    const bool pageOk = raw == 1 || (raw >= 512 && (raw & (raw - 1)) == 0);
    if (!pageOk || h[21] != 64 || h[22] != 32 || h[23] != 32) return Broken(16, "database header");
    return {};
}

// --- BMP: planes and bit depth.
StructureFinding Bmp(const ContentSamples& s) {
    const uint8_t* h = s.head;
    if (s.headSize < 30 || Le32(h + 14) < 40) return {};
    const uint16_t bits = Le16(h + 28);
    if (Le16(h + 26) != 1 || !(bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 ||
                               bits == 32 || bits == 64 || bits == 0))
        return Broken(16, "bitmap header");
    return {};
}

// --- RIFF (WAV, AVI, WebP): the first chunk of each form.
StructureFinding Riff(const ContentSamples& s) {
    const uint8_t* h = s.head;
    const size_t n = s.headSize;
    if (n < 32) return {};
    if (!FourCc(h + 12)) return Broken(12, "first chunk");
    const uint32_t size = Le32(h + 16);
    if (At(h, n, 8, "WAVE", 4)) {
        if (At(h, n, 12, "fmt ", 4) && (size < 14 || size > 128 || Le16(h + 22) == 0))
            return Broken(16, "fmt chunk");
    } else if (At(h, n, 8, "AVI ", 4)) {
        if (At(h, n, 12, "LIST", 4) && !At(h, n, 20, "hdrl", 4)) return Broken(16, "hdrl list");
    } else if (At(h, n, 8, "WEBP", 4)) {
        if ((At(h, n, 12, "VP8 ", 4) && !At(h, n, 23, "\x9D\x01\x2A", 3)) ||
            (At(h, n, 12, "VP8L", 4) && h[20] != 0x2F) || (At(h, n, 12, "VP8X", 4) && size != 10))
            return Broken(16, "image chunk");
    }
    return {};
}

// --- PSD: reserved bytes, channels, depth, colour mode.
StructureFinding Psd(const ContentSamples& s) {
    const uint8_t* h = s.head;
    if (s.headSize < 26) return {};
    const uint16_t channels = Be16(h + 12), depth = Be16(h + 22), mode = Be16(h + 24);
    const uint32_t height = Be32(h + 14), width = Be32(h + 18);
    if (!At(h, s.headSize, 6, "\0\0\0\0\0\0", 6) || channels == 0 || channels > 56 || height == 0 ||
        height > 300000 || width == 0 || width > 300000 ||
        !(depth == 1 || depth == 8 || depth == 16 || depth == 32) || mode > 9)
        return Broken(12, "image header");
    return {};
}

// --- MP3 with an ID3v2 tag: its frames' ids and flags.
StructureFinding Id3(const ContentSamples& s) {
    const uint8_t* h = s.head;
    const size_t n = s.headSize;
    if (!At(h, n, 0, "ID3", 3) || n < 20) return {};
    if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return Broken(6, "ID3 tag header");
    const uint8_t version = h[3];
    if (version < 3 || (h[5] & 0x40)) return {};  // v2.2 frames and extended headers: not walked
    const size_t tagEnd = 10 + ((size_t(h[6]) << 21) | (size_t(h[7]) << 14) | (size_t(h[8]) << 7) | h[9]);
    size_t pos = 10;
    while (pos + 10 <= n && pos + 10 <= tagEnd) {
        if (h[pos] == 0) return {};  // padding
        for (int i = 0; i < 4; ++i) {
            const uint8_t c = h[pos + i];
            if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return Broken(pos, "ID3 frame");
        }
        // Flags: v2.3 uses the top three bits of each byte, v2.4 a few more.
        const uint8_t mask0 = version == 3 ? 0x1F : 0x8F, mask1 = version == 3 ? 0x1F : 0xB0;
        if ((h[pos + 8] & mask0) || (h[pos + 9] & mask1)) return Broken(pos, "ID3 frame");
        const size_t size = version == 4
                                ? (size_t(h[pos + 4] & 0x7F) << 21) | (size_t(h[pos + 5] & 0x7F) << 14) |
                                      (size_t(h[pos + 6] & 0x7F) << 7) | (h[pos + 7] & 0x7F)
                                : size_t(Be32(h + pos + 4));
        if (size > tagEnd) return Broken(pos + 4, "ID3 frame");
        pos += 10 + size;
    }
    return {};
}

// --- FLAC: the metadata blocks, STREAMINFO first.
StructureFinding Flac(const ContentSamples& s) {
    const uint8_t* h = s.head;
    const size_t n = s.headSize;
    if (!At(h, n, 0, "fLaC", 4) || n < 8) return {};
    if ((h[4] & 0x7F) != 0 || (Be32(h + 4) & 0xFFFFFF) != 34) return Broken(4, "STREAMINFO block");
    size_t pos = 4;
    while (pos + 4 <= n) {
        const uint8_t type = h[pos] & 0x7F;
        if (type > 6) return Broken(pos, "metadata block");
        const bool last = h[pos] & 0x80;
        pos += 4 + (Be32(h + pos) & 0xFFFFFF);
        if (last) {
            if (pos + 2 <= n && !(h[pos] == 0xFF && (h[pos + 1] & 0xFE) == 0xF8))
                return Broken(pos, "first frame");
            break;
        }
    }
    return {};
}

// --- Ogg: the first page and its codec's identification packet.
StructureFinding Ogg(const ContentSamples& s) {
    const uint8_t* h = s.head;
    const size_t n = s.headSize;
    if (n < 28) return {};
    if (h[4] != 0 || h[5] > 7 || h[26] == 0) return Broken(4, "page header");
    const size_t packet = 27 + h[26];
    if (packet + 8 > n) return {};
    static const char* const kIds[] = {"\x01vorbis", "OpusHead", "\177FLAC", "\x80theora", "Speex   ",
                                       "fishead",    "OVP80",    "\x80kate", "BBCD"};
    for (const char* id : kIds)
        if (At(h, n, packet, id, std::strlen(id))) return {};
    return Broken(packet, "identification packet");
}

// --- Matroska/WebM: the document type in the EBML header.
StructureFinding Ebml(const ContentSamples& s) {
    const size_t limit = s.headSize < 64 ? s.headSize : 64;
    for (size_t i = 4; i + 4 <= limit; ++i) {
        if (At(s.head, limit, i, "webm", 4) || At(s.head, limit, i, "matroska", 8)) return {};
    }
    return s.headSize >= 64 ? Broken(4, "EBML header") : StructureFinding{};
}

// --- TIFF: the first directory's entries, in the head or in the tail.
bool IfdLooksBroken(const uint8_t* p, size_t avail, bool little) {
    if (avail < 2) return false;
    const uint16_t count = little ? Le16(p) : Be16(p);
    if (count == 0 || count > 1000) return true;
    uint16_t lastTag = 0;
    for (size_t e = 0; e < count && 2 + 12 * (e + 1) <= avail && e < 8; ++e) {
        const uint8_t* q = p + 2 + 12 * e;
        const uint16_t tag = little ? Le16(q) : Be16(q), type = little ? Le16(q + 2) : Be16(q + 2);
        if (type == 0 || type > 18 || tag < lastTag) return true;
        lastTag = tag;
    }
    return false;
}
StructureFinding Tiff(const ContentSamples& s) {
    const uint8_t* h = s.head;
    if (s.headSize < 8 || h[2] + h[3] != 42) return {};  // BigTIFF is not walked
    const bool little = h[0] == 'I';
    const uint64_t ifd = little ? Le32(h + 4) : Be32(h + 4);
    const uint64_t tailAt = TailOffset(s);
    if (ifd < 8) return Broken(4, "directory offset");
    if (ifd + 2 <= s.headSize) {
        if (IfdLooksBroken(h + ifd, s.headSize - size_t(ifd), little))
            return Broken(size_t(ifd), "directory");
    } else if (ifd >= tailAt && ifd + 2 <= s.fileSize && ifd - tailAt < s.tailSize) {
        if (IfdLooksBroken(s.tail + (ifd - tailAt), s.tailSize - size_t(ifd - tailAt), little))
            return TailBroken("directory");
    }
    return {};
}

// --- ICO: the image directory.
StructureFinding Ico(const ContentSamples& s) {
    const uint8_t* h = s.head;
    if (s.headSize < 6) return {};
    const size_t count = Le16(h + 4);
    for (size_t e = 0; e < count && 6 + 16 * (e + 1) <= s.headSize; ++e) {
        const uint8_t* q = h + 6 + 16 * e;
        const uint16_t bpp = Le16(q + 6);
        if (q[3] != 0 || Le16(q + 4) > 1 ||
            !(bpp == 0 || bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32) ||
            Le32(q + 12) < 6 + 16 * count)
            return Broken(6 + 16 * e, "image directory");
    }
    return {};
}

// --- gzip: reserved flag bits, and the stored name.
StructureFinding Gzip(const ContentSamples& s) {
    const uint8_t* h = s.head;
    const size_t n = s.headSize;
    if (n < 10) return {};
    if (h[3] & 0xE0) return Broken(3, "member header");
    size_t pos = 10;
    if (h[3] & 0x04) {
        if (pos + 2 > n) return {};
        pos += 2 + Le16(h + pos);
    }
    if (h[3] & 0x08) {
        for (; pos < n && h[pos] != 0; ++pos)
            if (h[pos] < 0x20 || h[pos] == 0x7F) return Broken(10, "stored name");
    }
    return {};
}

struct Check {
    const char* format;
    StructureFinding (*check)(const ContentSamples& s);
};

constexpr Check kChecks[] = {
    {"zip", Zip},
    {"compound file", Ole},
    {"pdf", Pdf},
    {"png", Png},
    {"jpeg", Jpeg},
    {"gif", Gif},
    {"iso media", IsoMedia},
    {"7z", SevenZip},
    {"xz", Xz},
    {"sqlite", Sqlite},
    {"bmp", Bmp},
    {"wav", Riff},
    {"avi", Riff},
    {"webp", Riff},
    {"psd", Psd},
    {"mp3", Id3},
    {"flac", Flac},
    {"ogg", Ogg},
    {"matroska", Ebml},
    {"tiff", Tiff},
    {"gzip", Gzip},
    {"ico", Ico},
};

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t size) {
    static uint32_t table[256];
    static const bool ready = [] {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        return true;
    }();
    (void)ready;
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

size_t JpegStuffingFaults(const uint8_t* data, size_t size) {
    size_t faults = 0;
    for (size_t i = 0; i + 1 < size; ++i) {
        if (data[i] != 0xFF) continue;
        const uint8_t next = data[i + 1];
        if (next == 0x00 || next == 0xFF || next == 0xD9 || (next >= 0xD0 && next <= 0xD7)) continue;
        ++faults;
    }
    return faults;
}

StructureFinding CheckStructure(const char* format, const ContentSamples& s) {
    if (!format || !s.head || s.headSize == 0) return {};
    ContentSamples samples = s;
    if (!samples.tail || samples.tailSize == 0) {
        // The head is the tail only when it holds the whole file.
        if (samples.fileSize > samples.headSize) {
            samples.tail = nullptr;
            samples.tailSize = 0;
        } else {
            samples.tail = samples.head;
            samples.tailSize = samples.headSize;
        }
    }
    for (const Check& c : kChecks) {
        if (std::strcmp(c.format, format) != 0) continue;
        StructureFinding f = c.check(samples);
        // Without a tail there is no end to judge.
        if (!samples.tail) f.tailBroken = false;
        return f;
    }
    return {};
}
