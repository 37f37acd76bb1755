// The content check's judgement. A format with a fixed signature is judged by
// it first; without it, a random-looking head is what a cipher leaves behind,
// while a short, zero-filled or otherwise plain head is a file still being
// written. A signature is easily kept by an encryptor, so the records after
// it and the record the format ends with are checked too
// (fsmon/content_structure.h): broken structure followed by random-looking
// bytes is encrypted-like. Compressed formats look random by nature, so for
// them only signatures and structure decide; the middle and end samples count
// by their bytes only for formats whose content never looks random: text,
// SQLite pages, uncompressed BMP pixels and PCM audio. The entropy threshold
// is measured on tests/corpora/content (see kRandomFraction).
#include "fsmon/content_classifier.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "fsmon/byte_fields.h"
#include <cwchar>

namespace {

enum class Kind {
    kZip,
    kOffice,  // zip, or a compound file when password-protected
    kPdf,
    kIllustrator,  // PDF, or PostScript for old files
    kPng,
    kJpeg,
    kGif,
    kTiff,
    kBmp,
    kWebp,
    kWav,
    kAvi,
    kOle,
    kRtf,
    kSevenZip,
    kGzip,
    kBzip2,
    kXz,
    kRar,
    kZstd,
    kTar,
    kMp3,
    kIsoMedia,  // MP4, MOV, M4A, 3GP, HEIC, AVIF
    kSqlite,
    kPsd,
    kFlac,
    kOgg,
    kEbml,  // MKV, WebM
    kIco,
    kMidi,
    kPostScript,
    kAsf,
    kKeePass,
    kOutlookStore,
    kOneNote,
    kAccess,
    kDwg,
    kXcf,
    kExe,  // only recognised, never claimed: a self-extracting archive
    kText,
};

struct Extension {
    const wchar_t* ext;  // lower case, without the dot
    Kind kind;
};

// The formats users keep their work in. Other extensions are not sampled.
constexpr Extension kExtensions[] = {
    {L"zip", Kind::kZip},          {L"jar", Kind::kZip},
    {L"apk", Kind::kZip},          {L"epub", Kind::kZip},
    {L"cbz", Kind::kZip},          {L"kmz", Kind::kZip},
    {L"xps", Kind::kZip},          {L"oxps", Kind::kZip},
    {L"odt", Kind::kZip},          {L"ods", Kind::kZip},
    {L"odp", Kind::kZip},          {L"odg", Kind::kZip},
    {L"ott", Kind::kZip},          {L"pages", Kind::kZip},
    {L"numbers", Kind::kZip},      {L"docx", Kind::kOffice},
    {L"docm", Kind::kOffice},      {L"dotx", Kind::kOffice},
    {L"dotm", Kind::kOffice},      {L"xlsx", Kind::kOffice},
    {L"xlsm", Kind::kOffice},      {L"xlsb", Kind::kOffice},
    {L"xltx", Kind::kOffice},      {L"pptx", Kind::kOffice},
    {L"pptm", Kind::kOffice},      {L"ppsx", Kind::kOffice},
    {L"potx", Kind::kOffice},      {L"vsdx", Kind::kOffice},
    {L"pdf", Kind::kPdf},          {L"ai", Kind::kIllustrator},
    {L"png", Kind::kPng},          {L"jpg", Kind::kJpeg},
    {L"jpeg", Kind::kJpeg},        {L"jpe", Kind::kJpeg},
    {L"jfif", Kind::kJpeg},        {L"gif", Kind::kGif},
    {L"tif", Kind::kTiff},         {L"tiff", Kind::kTiff},
    {L"dng", Kind::kTiff},         {L"nef", Kind::kTiff},
    {L"cr2", Kind::kTiff},         {L"arw", Kind::kTiff},
    {L"bmp", Kind::kBmp},          {L"webp", Kind::kWebp},
    {L"wav", Kind::kWav},          {L"avi", Kind::kAvi},
    {L"doc", Kind::kOle},          {L"dot", Kind::kOle},
    {L"xls", Kind::kOle},          {L"xlt", Kind::kOle},
    {L"ppt", Kind::kOle},          {L"pps", Kind::kOle},
    {L"pot", Kind::kOle},          {L"msg", Kind::kOle},
    {L"pub", Kind::kOle},          {L"vsd", Kind::kOle},
    {L"mpp", Kind::kOle},          {L"rtf", Kind::kRtf},
    {L"7z", Kind::kSevenZip},      {L"gz", Kind::kGzip},
    {L"tgz", Kind::kGzip},         {L"bz2", Kind::kBzip2},
    {L"tbz2", Kind::kBzip2},       {L"xz", Kind::kXz},
    {L"txz", Kind::kXz},           {L"rar", Kind::kRar},
    {L"zst", Kind::kZstd},         {L"tar", Kind::kTar},
    {L"mp3", Kind::kMp3},          {L"mp4", Kind::kIsoMedia},
    {L"m4v", Kind::kIsoMedia},     {L"m4a", Kind::kIsoMedia},
    {L"mov", Kind::kIsoMedia},     {L"3gp", Kind::kIsoMedia},
    {L"heic", Kind::kIsoMedia},    {L"heif", Kind::kIsoMedia},
    {L"avif", Kind::kIsoMedia},    {L"sqlite", Kind::kSqlite},
    {L"sqlite3", Kind::kSqlite},   {L"db3", Kind::kSqlite},
    {L"psd", Kind::kPsd},          {L"psb", Kind::kPsd},
    {L"flac", Kind::kFlac},        {L"ogg", Kind::kOgg},
    {L"oga", Kind::kOgg},          {L"ogv", Kind::kOgg},
    {L"opus", Kind::kOgg},         {L"mkv", Kind::kEbml},
    {L"mka", Kind::kEbml},         {L"webm", Kind::kEbml},
    {L"ico", Kind::kIco},          {L"mid", Kind::kMidi},
    {L"midi", Kind::kMidi},        {L"eps", Kind::kPostScript},
    {L"ps", Kind::kPostScript},    {L"wma", Kind::kAsf},
    {L"wmv", Kind::kAsf},          {L"kdbx", Kind::kKeePass},
    {L"pst", Kind::kOutlookStore}, {L"ost", Kind::kOutlookStore},
    {L"one", Kind::kOneNote},      {L"accdb", Kind::kAccess},
    {L"mdb", Kind::kAccess},       {L"dwg", Kind::kDwg},
    {L"xcf", Kind::kXcf},          {L"txt", Kind::kText},
    {L"text", Kind::kText},        {L"csv", Kind::kText},
    {L"tsv", Kind::kText},         {L"md", Kind::kText},
    {L"markdown", Kind::kText},    {L"rst", Kind::kText},
    {L"json", Kind::kText},        {L"xml", Kind::kText},
    {L"html", Kind::kText},        {L"htm", Kind::kText},
    {L"xhtml", Kind::kText},       {L"svg", Kind::kText},
    {L"css", Kind::kText},         {L"log", Kind::kText},
    {L"ini", Kind::kText},         {L"cfg", Kind::kText},
    {L"conf", Kind::kText},        {L"yaml", Kind::kText},
    {L"yml", Kind::kText},         {L"toml", Kind::kText},
    {L"tex", Kind::kText},         {L"bib", Kind::kText},
    {L"srt", Kind::kText},         {L"vtt", Kind::kText},
    {L"eml", Kind::kText},         {L"ics", Kind::kText},
    {L"vcf", Kind::kText},         {L"sql", Kind::kText},
    {L"py", Kind::kText},          {L"js", Kind::kText},
    {L"c", Kind::kText},           {L"h", Kind::kText},
    {L"cpp", Kind::kText},         {L"hpp", Kind::kText},
    {L"cs", Kind::kText},          {L"java", Kind::kText},
    {L"php", Kind::kText},         {L"rb", Kind::kText},
    {L"go", Kind::kText},          {L"ps1", Kind::kText},
    {L"bat", Kind::kText},         {L"cmd", Kind::kText},
    {L"sh", Kind::kText},          {L"reg", Kind::kText},
};

using byte_fields::At;
using byte_fields::Be16;
using byte_fields::Be32;
using byte_fields::Le16;
using byte_fields::Le32;

bool IsZip(const uint8_t* h, size_t n) {
    // A local file header, an empty archive's end record, or a spanned archive's marker.
    return At(h, n, 0, "PK\x03\x04", 4) || At(h, n, 0, "PK\x05\x06", 4) || At(h, n, 0, "PK\x07\x08", 4);
}
bool IsOle(const uint8_t* h, size_t n) {
    return At(h, n, 0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
}
bool IsPdf(const uint8_t* h, size_t n) {
    // Readers accept the header anywhere in the first KiB, and some writers use that.
    const size_t limit = n < 1024 ? n : 1024;
    for (size_t i = 0; i + 5 <= limit; ++i) {
        if (h[i] == '%' && std::memcmp(h + i, "%PDF-", 5) == 0) return true;
    }
    return false;
}
bool IsPostScript(const uint8_t* h, size_t n) {
    return At(h, n, 0, "%!PS", 4) || At(h, n, 0, "\xC5\xD0\xD3\xC6", 4);  // the second: binary EPS
}
bool IsIllustrator(const uint8_t* h, size_t n) {
    return IsPdf(h, n) || IsPostScript(h, n);
}
bool IsPng(const uint8_t* h, size_t n) {
    return At(h, n, 0, "\x89PNG\r\n\x1A\n", 8);
}
bool IsJpeg(const uint8_t* h, size_t n) {
    return At(h, n, 0, "\xFF\xD8\xFF", 3);
}
bool IsGif(const uint8_t* h, size_t n) {
    return At(h, n, 0, "GIF87a", 6) || At(h, n, 0, "GIF89a", 6);
}
bool IsTiff(const uint8_t* h, size_t n) {
    return At(h, n, 0, "II*\0", 4) || At(h, n, 0, "MM\0*", 4) || At(h, n, 0, "II+\0", 4) ||
           At(h, n, 0, "MM\0+", 4);
}
bool IsBmp(const uint8_t* h, size_t n) {
    // "BM" alone starts many words; the header size that follows is one of a few.
    if (!At(h, n, 0, "BM", 2) || n < 18) return false;
    const uint32_t dib = Le32(h + 14);
    return dib == 12 || dib == 40 || dib == 52 || dib == 56 || dib == 64 || dib == 108 || dib == 124;
}
bool IsRiff(const uint8_t* h, size_t n, const char* form) {
    return (At(h, n, 0, "RIFF", 4) || At(h, n, 0, "RF64", 4)) && At(h, n, 8, form, 4);
}
bool IsWebp(const uint8_t* h, size_t n) {
    return IsRiff(h, n, "WEBP");
}
bool IsWav(const uint8_t* h, size_t n) {
    return IsRiff(h, n, "WAVE");
}
bool IsAvi(const uint8_t* h, size_t n) {
    return IsRiff(h, n, "AVI ");
}
bool IsRtf(const uint8_t* h, size_t n) {
    return At(h, n, 0, "{\\rtf", 5);
}
bool IsSevenZip(const uint8_t* h, size_t n) {
    return At(h, n, 0, "7z\xBC\xAF\x27\x1C", 6);
}
bool IsGzip(const uint8_t* h, size_t n) {
    return At(h, n, 0, "\x1F\x8B\x08", 3);
}
bool IsBzip2(const uint8_t* h, size_t n) {
    return At(h, n, 0, "BZh", 3) && n > 3 && h[3] >= '1' && h[3] <= '9';
}
bool IsXz(const uint8_t* h, size_t n) {
    return At(h, n, 0,
              "\xFD"
              "7zXZ\0",
              6);
}
// RAR: judged by the documented signatures only, versions 1.5-4 and 5; no
// RAR writer can be had here to make sample files.
bool IsRar(const uint8_t* h, size_t n) {
    return At(h, n, 0, "Rar!\x1A\x07\x00", 7) || At(h, n, 0, "Rar!\x1A\x07\x01\x00", 8);
}
bool IsZstd(const uint8_t* h, size_t n) {
    return At(h, n, 0, "\x28\xB5\x2F\xFD", 4);
}
bool IsTar(const uint8_t* h, size_t n) {
    return At(h, n, 257, "ustar", 5);
}

// The length of the MPEG audio frame whose header is at p, 0 when it is none.
size_t MpegFrameLength(const uint8_t* p) {
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return 0;
    const int version = (p[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
    const int layer = (p[1] >> 1) & 3;    // 1: III, 2: II, 3: I
    const int bitrateIndex = p[2] >> 4;
    const int rateIndex = (p[2] >> 2) & 3;
    const int padding = (p[2] >> 1) & 1;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return 0;
    static const int kV1[3][15] = {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
                                   {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
                                   {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}};
    static const int kV2[2][15] = {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
                                   {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
    static const int kRates[3] = {44100, 48000, 32000};
    const int li = 3 - layer;  // 0: I, 1: II, 2: III
    const int kbps = version == 3 ? kV1[li][bitrateIndex] : kV2[li == 0 ? 0 : 1][bitrateIndex];
    const int rate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    if (li == 0) return size_t((12 * kbps * 1000 / rate + padding) * 4);
    const int perFrame = (li == 2 && version != 3) ? 72 : 144;
    return size_t(perFrame * kbps * 1000 / rate + padding);
}

bool IsMp3(const uint8_t* h, size_t n) {
    if (At(h, n, 0, "ID3", 3) && n > 3 && h[3] < 5) return true;
    // No tag: two frames back to back, after the zero padding some encoders leave.
    size_t i = 0;
    while (i < n && i < 1024 && h[i] == 0) ++i;
    if (n < 4 || i > n - 4) return false;
    const size_t first = MpegFrameLength(h + i);
    if (first == 0) return false;
    const size_t next = i + first;
    return next <= n - 4 ? MpegFrameLength(h + next) != 0 : next <= n;
}
// A claimed MP3 may also start inside a frame (a recording cut or saved from
// a stream): three frames in a row anywhere in the head will do. Random bytes
// hold such a run about once in forty million heads.
bool IsMp3Claim(const uint8_t* h, size_t n) {
    if (IsMp3(h, n)) return true;
    for (size_t i = 0; i + 4 <= n; ++i) {
        size_t at = i, frames = 0;
        while (frames < 3 && at + 4 <= n) {
            const size_t len = MpegFrameLength(h + at);
            if (len == 0) break;
            ++frames;
            at += len;
        }
        if (frames == 3) return true;
    }
    return false;
}
bool IsIsoMedia(const uint8_t* h, size_t n) {
    static const char* const kBoxes[] = {"ftyp", "moov", "mdat", "wide", "free", "skip", "pnot"};
    for (const char* box : kBoxes) {
        if (At(h, n, 4, box, 4)) return true;
    }
    return false;
}
bool IsSqlite(const uint8_t* h, size_t n) {
    return At(h, n, 0, "SQLite format 3\0", 16);
}
bool IsPsd(const uint8_t* h, size_t n) {
    return At(h, n, 0, "8BPS\0", 5) && n > 5 && (h[5] == 1 || h[5] == 2);
}
bool IsFlac(const uint8_t* h, size_t n) {
    return At(h, n, 0, "fLaC", 4);
}
bool IsFlacClaim(const uint8_t* h, size_t n) {
    return IsFlac(h, n) || At(h, n, 0, "ID3", 3);
}
bool IsOgg(const uint8_t* h, size_t n) {
    return At(h, n, 0, "OggS\0", 5);
}
bool IsEbml(const uint8_t* h, size_t n) {
    return At(h, n, 0, "\x1A\x45\xDF\xA3", 4);
}
bool IsIco(const uint8_t* h, size_t n) {
    return (At(h, n, 0, "\0\0\1\0", 4) || At(h, n, 0, "\0\0\2\0", 4)) && n >= 6 && Le16(h + 4) != 0;
}
bool IsMidi(const uint8_t* h, size_t n) {
    return At(h, n, 0, "MThd\0\0\0\x06", 8);
}
bool IsAsf(const uint8_t* h, size_t n) {
    return At(h, n, 0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11", 8);
}
bool IsKeePass(const uint8_t* h, size_t n) {
    return At(h, n, 0, "\x03\xD9\xA2\x9A\x67\xFB\x4B\xB5", 8) ||
           At(h, n, 0, "\x03\xD9\xA2\x9A\x65\xFB\x4B\xB5", 8);
}
bool IsOutlookStore(const uint8_t* h, size_t n) {
    return At(h, n, 0, "!BDN", 4);
}
bool IsOneNote(const uint8_t* h, size_t n) {
    return At(h, n, 0, "\xE4\x52\x5C\x7B\x8C\xD8\xA7\x4D", 8);
}
bool IsAccess(const uint8_t* h, size_t n) {
    return At(h, n, 4, "Standard Jet DB", 15) || At(h, n, 4, "Standard ACE DB", 15);
}
bool IsDwg(const uint8_t* h, size_t n) {
    return At(h, n, 0, "AC10", 4) && n >= 6 && h[4] >= '0' && h[4] <= '9' && h[5] >= '0' && h[5] <= '9';
}
bool IsXcf(const uint8_t* h, size_t n) {
    return At(h, n, 0, "gimp xcf ", 9);
}
bool IsExe(const uint8_t* h, size_t n) {
    if (!At(h, n, 0, "MZ", 2) || n < 64) return false;
    const uint32_t pe = Le32(h + 60);
    return pe < n && At(h, n, pe, "PE\0\0", 4);
}

struct Signature {
    Kind kind;
    const char* name;      // what "found" says
    const char* expected;  // what "expected" says when claimed
    bool (*matches)(const uint8_t* h, size_t n);
};

// The recognisable heads, in the order they are tried.
constexpr Signature kSignatures[] = {
    {Kind::kZip, "zip", "zip PK\\x03\\x04", IsZip},
    {Kind::kOle, "compound file", "compound file \\xD0\\xCF\\x11\\xE0", IsOle},
    {Kind::kPdf, "pdf", "%PDF-", IsPdf},
    {Kind::kPng, "png", "\\x89PNG", IsPng},
    {Kind::kJpeg, "jpeg", "jpeg \\xFF\\xD8\\xFF", IsJpeg},
    {Kind::kGif, "gif", "GIF87a/GIF89a", IsGif},
    {Kind::kTiff, "tiff", "tiff II*/MM*", IsTiff},
    {Kind::kBmp, "bmp", "BM", IsBmp},
    {Kind::kWebp, "webp", "RIFF WEBP", IsWebp},
    {Kind::kWav, "wav", "RIFF WAVE", IsWav},
    {Kind::kAvi, "avi", "RIFF AVI", IsAvi},
    {Kind::kRtf, "rtf", "{\\rtf", IsRtf},
    {Kind::kSevenZip, "7z", "7z \\x37\\x7A\\xBC\\xAF", IsSevenZip},
    {Kind::kGzip, "gzip", "gzip \\x1F\\x8B", IsGzip},
    {Kind::kBzip2, "bzip2", "BZh", IsBzip2},
    {Kind::kXz, "xz", "xz \\xFD7zXZ", IsXz},
    {Kind::kRar, "rar", "Rar!", IsRar},
    {Kind::kZstd, "zstd", "zstd \\x28\\xB5\\x2F\\xFD", IsZstd},
    {Kind::kSqlite, "sqlite", "SQLite format 3", IsSqlite},
    {Kind::kPsd, "psd", "8BPS", IsPsd},
    {Kind::kFlac, "flac", "fLaC", IsFlac},
    {Kind::kOgg, "ogg", "OggS", IsOgg},
    {Kind::kEbml, "matroska", "EBML \\x1A\\x45\\xDF\\xA3", IsEbml},
    {Kind::kIco, "ico", "ico \\x00\\x00\\x01\\x00", IsIco},
    {Kind::kMidi, "midi", "MThd", IsMidi},
    {Kind::kPostScript, "postscript", "%!PS", IsPostScript},
    {Kind::kAsf, "asf", "asf \\x30\\x26\\xB2\\x75", IsAsf},
    {Kind::kKeePass, "keepass", "keepass \\x03\\xD9\\xA2\\x9A", IsKeePass},
    {Kind::kOutlookStore, "outlook store", "!BDN", IsOutlookStore},
    {Kind::kOneNote, "onenote", "onenote \\xE4\\x52\\x5C\\x7B", IsOneNote},
    {Kind::kAccess, "access database", "Standard Jet/ACE DB", IsAccess},
    {Kind::kDwg, "dwg", "AC10", IsDwg},
    {Kind::kXcf, "xcf", "gimp xcf", IsXcf},
    {Kind::kExe, "executable", "MZ", IsExe},
    {Kind::kTar, "tar", "ustar at 257", IsTar},
    {Kind::kIsoMedia, "iso media", "ftyp box", IsIsoMedia},
    {Kind::kMp3, "mp3", "ID3 or MPEG frame", IsMp3},
};

const Signature* SignatureOf(Kind kind) {
    for (const Signature& s : kSignatures) {
        if (s.kind == kind) return &s;
    }
    return nullptr;
}

const Signature* Recognise(const uint8_t* h, size_t n) {
    for (const Signature& s : kSignatures) {
        if (s.matches(h, n)) return &s;
    }
    return nullptr;
}

bool FindKind(const std::wstring& name, Kind* kind) {
    const size_t dot = name.find_last_of(L'.');
    const size_t sep = name.find_last_of(L"\\/");
    if (dot == std::wstring::npos || (sep != std::wstring::npos && dot < sep) || dot + 1 >= name.size())
        return false;
    const size_t len = name.size() - dot - 1;
    for (const Extension& e : kExtensions) {
        if (std::wcslen(e.ext) != len) continue;
        bool same = true;
        for (size_t i = 0; i < len && same; ++i) {
            const wchar_t c = name[dot + 1 + i];
            same = (c >= L'A' && c <= L'Z' ? wchar_t(c - L'A' + L'a') : c) == e.ext[i];
        }
        if (same) {
            *kind = e.kind;
            return true;
        }
    }
    return false;
}

// The entropy n bytes of a uniform random source have on average: 7.955 for
// 4 KiB, 7.18 for 256 bytes, 5.77 for 64. Short samples cannot reach 8 bits.
double ComputeRandomEntropy(size_t n) {
    if (n < 2) return 0;
    const double p = 1.0 / 256, q = 1 - p;
    double pmf = std::pow(q, double(n));  // P(c = 0), c ~ Binomial(n, 1/256): one byte value's count
    double sum = 0;                       // E[c * log2(c)]
    const size_t top = n < 160 ? n : 160;
    for (size_t c = 0; c < top; ++c) {
        pmf *= double(n - c) / double(c + 1) * (p / q);
        sum += pmf * double(c + 1) * std::log2(double(c + 1));
    }
    return std::log2(double(n)) - 256.0 * sum / double(n);
}

double RandomEntropy(size_t n) {
    // Whole samples and their halves (the UTF-16 test) are by far the most common.
    static const double kWhole = ComputeRandomEntropy(kContentSampleBytes);
    static const double kHalf = ComputeRandomEntropy(kContentSampleBytes / 2);
    return n == kContentSampleBytes ? kWhole : n == kContentSampleBytes / 2 ? kHalf : ComputeRandomEntropy(n);
}

// A sample is random-looking when its entropy reaches this fraction of what
// random bytes of its length have on average: 7.6 bits per byte at 4 KiB.
// Measured on tests/corpora/content, 4 KiB samples: text 3.3-5.2; raw
// pixels and PCM audio (BMP, TIFF, PSD, WAV middles) 7.18-7.34; compressed
// content 7.49 (Vorbis) and 7.69-7.96 (deflate, JPEG, MP3, AAC, xz, AES in
// encrypted zip and 7z); ChaCha20 output 7.945 at the least. Compressed data
// cannot be told from cipher output by entropy, which is why only signatures
// judge those formats; the threshold separates cipher output from text and
// raw media with room to spare. Short samples vary more (0.08 bits at 64
// bytes, 0.004 at 4 KiB), hence the fraction rather than a fixed margin.
constexpr double kRandomFraction = 7.6 / 7.955;

bool AllZero(const uint8_t* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (s[i] != 0) return false;
    }
    return true;
}

const char* ExpectedOf(Kind kind) {
    switch (kind) {
        case Kind::kText:
            return "text";
        case Kind::kOffice:
            return "zip PK\\x03\\x04 or compound file";
        case Kind::kIllustrator:
            return "%PDF- or %!PS";
        default:
            return SignatureOf(kind)->expected;
    }
}

bool LooksRandom(const uint8_t* data, size_t n) {
    return ByteEntropy(data, n) >= kRandomFraction * RandomEntropy(n);
}

// Under this, text and random bytes have overlapping entropies (32 random
// bytes: 4.9 bits, an English sentence of 32 letters: 4.3), and no file of a
// signature format is this small: such heads are never encrypted-like.
constexpr size_t kMinJudgedBytes = 64;

// Bytes that text never holds: control bytes other than tab, LF, FF and CR,
// and bytes outside well-formed UTF-8 (a sequence cut at either end of the
// sample counts as well-formed).
size_t CountNonTextBytes(const uint8_t* s, size_t n) {
    size_t bad = 0, i = 0;
    while (i < n && i < 3 && (s[i] & 0xC0) == 0x80) ++i;  // the tail of a sequence cut at the start
    while (i < n) {
        const uint8_t b = s[i];
        if (b < 0x80) {
            if ((b < 0x20 && b != '\t' && b != '\n' && b != '\f' && b != '\r') || b == 0x7F) ++bad;
            ++i;
            continue;
        }
        size_t len = 0;
        uint8_t lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        }
        if (len == 0) {
            ++bad;
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k < len && i + k < n; ++k) {
            const uint8_t lim0 = k == 1 ? lo : 0x80, lim1 = k == 1 ? hi : 0xBF;
            if (s[i + k] < lim0 || s[i + k] > lim1) break;
        }
        if (k == len || i + k == n) {
            i += k;
        } else {
            ++bad;
            ++i;
        }
    }
    return bad;
}

// UTF-16: a byte-order mark, or one byte of each pair far less varied than
// random (Latin text: mostly zero; CJK: a few dozen lead bytes).
bool LooksUtf16(const uint8_t* s, size_t n) {
    if (At(s, n, 0, "\xFF\xFE", 2) || At(s, n, 0, "\xFE\xFF", 2)) return true;
    if (n < 128) return false;
    double h[2];
    size_t total = 0;
    for (size_t phase = 0; phase < 2; ++phase) {
        uint32_t counts[256] = {};
        total = 0;
        for (size_t i = phase; i < n; i += 2, ++total) ++counts[s[i]];
        h[phase] = 0;
        for (uint32_t c : counts) {
            if (c) h[phase] -= double(c) / double(total) * std::log2(double(c) / double(total));
        }
    }
    // One half plain, the other varied: zero-filled or repeated bytes are not text.
    const double plain = RandomEntropy(total) - 1.0;
    return (h[0] < plain && h[1] > 1.0) || (h[1] < plain && h[0] > 1.0);
}

enum class TextLook { kText, kBinary, kRandom };

TextLook LookAtText(const uint8_t* s, size_t n) {
    if (LooksUtf16(s, n)) return TextLook::kText;
    const size_t bad = CountNonTextBytes(s, n);
    // Random bytes: about 55% of them cannot be text. Single-byte code pages
    // make any byte possible, so only randomness on top of it counts.
    if (n >= kMinJudgedBytes && bad * 4 >= n && LooksRandom(s, n)) return TextLook::kRandom;
    return bad * 8 <= n ? TextLook::kText : TextLook::kBinary;
}

// SQLite: a sample that starts on a page must start like one. B-tree pages
// open with a flag and a bounded header, overflow and freelist trunk pages
// with a page number, pointer-map pages with five-byte entries of type 1-5.
bool SqlitePageLooksBroken(const uint8_t* head, size_t headSize, uint64_t fileSize, uint64_t offset,
                           const uint8_t* m, size_t n) {
    if (headSize < 100 || n < 64) return false;
    const uint32_t raw = Be16(head + 16);
    const uint32_t pageSize = raw == 1 ? 65536 : raw;
    if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0 || offset % pageSize != 0) return false;
    uint64_t pages = Be32(head + 28);
    if (pages == 0) pages = fileSize / pageSize;
    const uint8_t flag = m[0];
    if (flag == 2 || flag == 5 || flag == 10 || flag == 13) {
        const uint32_t hdr = (flag == 2 || flag == 5) ? 12 : 8;
        const uint32_t freeblock = Be16(m + 1), cells = Be16(m + 3);
        const uint32_t content = Be16(m + 5) == 0 ? 65536 : Be16(m + 5);
        const bool ok = (freeblock == 0 || (freeblock >= hdr && freeblock < pageSize)) &&
                        hdr + 2 * cells <= pageSize && content <= pageSize &&
                        (cells == 0 || content >= hdr + 2 * cells);
        if (ok) return false;
    }
    if (Be32(m) <= pages) return false;
    bool ptrmap = true;
    for (size_t e = 0; e < 8 && ptrmap; ++e) ptrmap = m[5 * e] >= 1 && m[5 * e] <= 5;
    if (ptrmap) return false;
    return LooksRandom(m, n);
}

// Uncompressed BMP pixels (24 or 32 bits): neighbouring pixels of any
// picture people keep are alike (the corpus photo: 2.8 apart on average);
// cipher output has neighbours 85 apart.
bool BmpPixelsLookBroken(const uint8_t* head, size_t headSize, uint64_t offset, const uint8_t* m, size_t n) {
    if (headSize < 34) return false;
    const uint32_t pixels = Le32(head + 10), dib = Le32(head + 14);
    if (dib < 40) return false;
    const uint16_t bits = Le16(head + 28);
    const uint32_t compression = Le32(head + 30);
    if ((compression != 0 && compression != 3) || (bits != 24 && bits != 32) || offset < pixels) return false;
    const size_t stride = bits / 8;
    if (n <= stride) return false;
    uint64_t diff = 0;
    for (size_t i = stride; i < n; ++i)
        diff += uint64_t(m[i] > m[i - stride] ? m[i] - m[i - stride] : m[i - stride] - m[i]);
    return diff >= uint64_t(n - stride) * 48 && LooksRandom(m, n);
}

// PCM audio, 16 bits: consecutive samples of a recording are close compared
// with their level (the corpus tone: 0.11 of it); in cipher output they are
// further apart than the level (4/3 of it on average).
bool WavSamplesLookBroken(const uint8_t* head, size_t headSize, uint64_t offset, const uint8_t* m, size_t n) {
    size_t pos = 12;
    uint32_t blockAlign = 0;
    uint16_t bits = 0, format = 0;
    uint64_t dataStart = 0;
    while (pos + 8 <= headSize) {
        const uint32_t size = Le32(head + pos + 4);
        if (std::memcmp(head + pos, "fmt ", 4) == 0 && size >= 16 && pos + 24 <= headSize) {
            format = Le16(head + pos + 8);
            blockAlign = Le16(head + pos + 20);
            bits = Le16(head + pos + 22);
        } else if (std::memcmp(head + pos, "data", 4) == 0) {
            dataStart = pos + 8;
            break;
        }
        if (size > headSize) break;
        pos += 8 + size_t(size) + (size & 1);
    }
    if ((format != 1 && format != 0xFFFE) || bits != 16 || blockAlign < 2 || dataStart == 0 ||
        offset < dataStart) {
        return false;
    }
    const size_t skew = size_t((offset - dataStart) % blockAlign);
    const size_t first = skew == 0 ? 0 : blockAlign - skew;
    double level = 0, step = 0;
    size_t count = 0;
    int prev = 0;
    for (size_t i = first; i + 2 <= n; i += blockAlign) {
        const int v = int16_t(Le16(m + i));
        if (count > 0) step += std::abs(v - prev);
        level += std::abs(v);
        prev = v;
        ++count;
    }
    if (count < 64) return false;
    return step / double(count - 1) >= level / double(count) && LooksRandom(m, n);
}

}  // namespace

const char* ContentVerdictName(ContentVerdict v) {
    switch (v) {
        case ContentVerdict::kAsClaimed:
            return "as_claimed";
        case ContentVerdict::kEncryptedLike:
            return "encrypted_like";
        case ContentVerdict::kUnknown:
            break;
    }
    return "unknown";
}

bool IsContentCheckedName(const std::wstring& relativeName) {
    Kind kind;
    return FindKind(relativeName, &kind);
}

uint64_t MiddleSampleOffset(uint64_t fileSize) {
    return (fileSize / 2) & ~uint64_t(kContentSampleBytes - 1);
}

double ByteEntropy(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint32_t counts[256] = {};
    for (size_t i = 0; i < size; ++i) ++counts[data[i]];
    double h = 0;
    for (uint32_t c : counts) {
        if (c == 0) continue;
        const double p = double(c) / double(size);
        h -= p * std::log2(p);
    }
    return h < 0 ? 0 : h;
}

size_t TailSampleSize(const std::wstring& claimName, uint64_t fileSize) {
    Kind kind;
    if (fileSize <= kContentSampleBytes || !FindKind(claimName, &kind)) return 0;
    const uint64_t want = (kind == Kind::kZip || kind == Kind::kOffice) ? kZipTailBytes : kContentTailBytes;
    return size_t(fileSize < want ? fileSize : want);
}

ContentEvidence ClassifyContent(const std::wstring& relativeName, uint64_t fileSize, const uint8_t* head,
                                size_t headSize, const uint8_t* middle, size_t middleSize) {
    ContentSamples s;
    s.fileSize = fileSize;
    s.head = head;
    s.headSize = headSize;
    s.middle = middle;
    s.middleSize = middleSize;
    return ClassifySamples(relativeName, s);
}

namespace {

// The last up-to-4 KiB of the tail: what the randomness of an end is judged on.
void LastBytes(const ContentSamples& s, const uint8_t** at, size_t* n) {
    *n = s.tailSize < kContentSampleBytes ? s.tailSize : kContentSampleBytes;
    *at = s.tail ? s.tail + (s.tailSize - *n) : nullptr;
}

// A broken structure counts when the bytes from the break on look random: a
// damaged or odd file keeps plain bytes there, cipher output does not.
bool JudgeStructure(const char* format, const ContentSamples& s, ContentEvidence& ev, const char* foundName) {
    const StructureFinding f = CheckStructure(format, s);
    if (f.headBroken && f.brokenAt < s.headSize && s.headSize - f.brokenAt >= kMinJudgedBytes &&
        LooksRandom(s.head + f.brokenAt, s.headSize - f.brokenAt)) {
        ev.verdict = ContentVerdict::kEncryptedLike;
        ev.found = std::string(foundName) + ", broken " + f.what + ", random-looking bytes";
        return true;
    }
    const uint8_t* last = nullptr;
    size_t lastSize = 0;
    LastBytes(s, &last, &lastSize);
    if (f.tailBroken && last && lastSize >= kMinJudgedBytes && LooksRandom(last, lastSize)) {
        ev.verdict = ContentVerdict::kEncryptedLike;
        ev.trailerOnly = true;
        ev.found = std::string(foundName) + ", no " + f.what + ", random-looking end";
        return true;
    }
    return false;
}

// Under kMinJudgedBytes entropy cannot tell, but the bytes themselves can
// from 16 on: cipher output has almost every byte different, a third or more
// of them impossible in text, and (unlike UTF-16 or binary records) next to
// no zero bytes. Below 16 bytes nothing tells a key or a code from them.
constexpr size_t kMinShortJudgedBytes = 16;
bool ShortLooksRandom(const uint8_t* s, size_t n) {
    if (n < kMinShortJudgedBytes) return false;
    bool seen[256] = {};
    size_t distinct = 0, zeros = 0;
    for (size_t i = 0; i < n; ++i) {
        zeros += s[i] == 0;
        if (!seen[s[i]]) {
            seen[s[i]] = true;
            ++distinct;
        }
    }
    return zeros <= 1 && distinct * 4 >= n * 3 && CountNonTextBytes(s, n) * 3 >= n;
}

}  // namespace

ContentEvidence ClassifySamples(const std::wstring& claimName, const ContentSamples& in) {
    ContentEvidence ev;
    ContentSamples s = in;
    if (!s.head) s.headSize = 0;
    if (!s.middle) s.middleSize = 0;
    if (!s.tail) s.tailSize = 0;
    if (s.headSize > kContentSampleBytes) s.headSize = kContentSampleBytes;
    if (s.middleSize > kContentSampleBytes) s.middleSize = kContentSampleBytes;
    if (s.tailSize > s.fileSize) s.tailSize = size_t(s.fileSize);
    if (!s.tail && s.headSize > 0 && s.fileSize <= s.headSize) {
        // The head holds the whole file: it is its own end.
        s.tail = s.head;
        s.tailSize = s.headSize;
    }
    const uint8_t* head = s.head;
    const size_t headSize = s.headSize;
    const uint8_t* middle = s.middle;
    const size_t middleSize = s.middleSize;
    const uint64_t fileSize = s.fileSize;
    ev.headEntropy = ByteEntropy(head, headSize);
    if (middleSize > 0) ev.middleEntropy = ByteEntropy(middle, middleSize);

    Kind kind;
    if (!FindKind(claimName, &kind)) {
        ev.found = "unchecked format";
        return ev;
    }
    ev.expected = ExpectedOf(kind);
    if (headSize == 0) {
        ev.found = "empty";
        return ev;
    }
    const uint64_t middleOffset = MiddleSampleOffset(fileSize);
    const bool hasMiddle = middleSize > 0 && fileSize > kContentMiddleFrom;
    const bool hasTail = s.tailSize > 0 && fileSize > headSize;
    const uint64_t tailOffset = fileSize - s.tailSize;
    const uint8_t* last = nullptr;
    size_t lastSize = 0;
    LastBytes(s, &last, &lastSize);
    const uint64_t lastOffset = fileSize - lastSize;

    if (kind == Kind::kText) {
        if (headSize < kMinJudgedBytes && ShortLooksRandom(head, headSize)) {
            ev.verdict = ContentVerdict::kEncryptedLike;
            ev.found = "random-looking bytes (short file)";
            return ev;
        }
        const TextLook look = LookAtText(head, headSize);
        if (look == TextLook::kRandom) {
            ev.verdict = ContentVerdict::kEncryptedLike;
            ev.found = "random-looking bytes";
            return ev;
        }
        if (look == TextLook::kBinary) {
            const Signature* other = Recognise(head, headSize);
            ev.found = other ? other->name : AllZero(head, headSize) ? "zero bytes" : "binary bytes";
            if (other) JudgeStructure(other->name, s, ev, other->name);
            return ev;
        }
        ev.found = "text";
        ev.verdict = ContentVerdict::kAsClaimed;
        if (hasMiddle) {
            ev.middleChecked = true;
            if (LookAtText(middle, middleSize) == TextLook::kRandom) {
                ev.verdict = ContentVerdict::kEncryptedLike;
                ev.found = "text, random-looking middle";
                return ev;
            }
        }
        if (hasTail && lastSize >= kMinJudgedBytes && LookAtText(last, lastSize) == TextLook::kRandom) {
            ev.verdict = ContentVerdict::kEncryptedLike;
            ev.found = "text, random-looking end";
        }
        return ev;
    }

    bool claimed = false;
    const char* foundName = nullptr;
    switch (kind) {
        case Kind::kOffice:
            if (IsZip(head, headSize)) {
                claimed = true;
                foundName = "zip";
            } else if (IsOle(head, headSize)) {
                claimed = true;  // password-protected: an encrypted package in a compound file
                foundName = "compound file";
            }
            break;
        case Kind::kMp3:
            claimed = IsMp3Claim(head, headSize);
            foundName = "mp3";
            break;
        case Kind::kIllustrator:
            claimed = IsIllustrator(head, headSize);
            foundName = IsPdf(head, headSize) ? "pdf" : "postscript";
            break;
        case Kind::kFlac:
            claimed = IsFlacClaim(head, headSize);
            foundName = "flac";
            break;
        default: {
            const Signature* sig = SignatureOf(kind);
            claimed = sig->matches(head, headSize);
            foundName = sig->name;
            break;
        }
    }

    if (claimed) {
        ev.found = foundName;
        ev.verdict = ContentVerdict::kAsClaimed;
        if (JudgeStructure(foundName, s, ev, foundName)) return ev;
        // RTF is text after its signature, so text rules judge its head.
        if (kind == Kind::kRtf && headSize > 16 + kMinJudgedBytes &&
            LookAtText(head + 16, headSize - 16) == TextLook::kRandom) {
            ev.verdict = ContentVerdict::kEncryptedLike;
            ev.found += ", random-looking bytes after the signature";
            return ev;
        }
        bool broken = false;
        const char* where = ", random-looking middle";
        switch (kind) {
            case Kind::kRtf:
                ev.middleChecked = hasMiddle;
                broken = (hasMiddle && LookAtText(middle, middleSize) == TextLook::kRandom) ||
                         (hasTail && lastSize >= kMinJudgedBytes &&
                          LookAtText(last, lastSize) == TextLook::kRandom);
                break;
            case Kind::kSqlite:
                ev.middleChecked = hasMiddle;
                broken = hasMiddle &&
                         SqlitePageLooksBroken(head, headSize, fileSize, middleOffset, middle, middleSize);
                if (!broken && hasTail && lastSize == kContentSampleBytes && s.tailSize >= lastSize) {
                    broken = SqlitePageLooksBroken(head, headSize, fileSize, lastOffset, last, lastSize);
                    if (broken) where = ", random-looking end";
                }
                break;
            case Kind::kBmp:
                ev.middleChecked = hasMiddle;
                broken = hasMiddle && BmpPixelsLookBroken(head, headSize, middleOffset, middle, middleSize);
                if (!broken && hasTail) {
                    broken = BmpPixelsLookBroken(head, headSize, lastOffset, last, lastSize);
                    if (broken) where = ", random-looking end";
                }
                break;
            case Kind::kWav:
                ev.middleChecked = hasMiddle;
                broken = hasMiddle && WavSamplesLookBroken(head, headSize, middleOffset, middle, middleSize);
                if (!broken && hasTail) {
                    broken = WavSamplesLookBroken(head, headSize, lastOffset, last, lastSize);
                    if (broken) where = ", random-looking end";
                }
                break;
            default:
                // Compressed data, embedded pictures and, in password-protected
                // compound files and PDFs, whole encrypted payloads: a random
                // middle is normal here.
                break;
        }
        (void)tailOffset;
        if (broken) {
            ev.verdict = ContentVerdict::kEncryptedLike;
            ev.found += where;
        }
        return ev;
    }

    if (const Signature* other = Recognise(head, headSize)) {
        // A misnamed or converted file, unless that format's own structure is broken too.
        ev.found = other->name;
        JudgeStructure(other->name, s, ev, other->name);
        return ev;
    }
    if (headSize < kMinJudgedBytes) {
        if (ShortLooksRandom(head, headSize)) {
            ev.verdict = ContentVerdict::kEncryptedLike;
            ev.found = "random-looking bytes (short file)";
        } else {
            ev.found = headSize < kMinShortJudgedBytes ? "too short to judge" : "short, not random-looking";
        }
        return ev;
    }
    if (LooksRandom(head, headSize)) {
        ev.verdict = ContentVerdict::kEncryptedLike;
        ev.found = "random-looking bytes";
        return ev;
    }
    ev.found = AllZero(head, headSize)                         ? "zero bytes"
               : LookAtText(head, headSize) == TextLook::kText ? "text"
                                                               : "no signature";
    return ev;
}
