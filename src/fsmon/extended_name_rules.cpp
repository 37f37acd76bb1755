// The extended file-name rules. The lists below are data, chosen from how
// common tools name their files and measured on tests/corpora (see the
// README's "Extended detection" section for the figures).
#include "fsmon/extended_name_rules.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <mutex>

#include "fsmon/file_name_heuristics.h"

namespace {

constexpr const char* kEverydayExtensions[] = {
#include "fsmon/everyday_extensions.inc"
};

// Extensions that encryptor families append, as their write-ups name them.
// Only family-made words: per-victim random strings are left to the rename
// rules and the random-looking test, common words and short generic strings
// that everyday files might use are left out. Sorted (byte order).
constexpr const char* kEncryptorExtensions[] = {
    "8base",
    "__nist_k571__",
    "_locked",
    "acrypt",
    "aesir",
    "akira",
    "asasin",
    "avdn",
    "avos",
    "avos2",
    "babyk",
    "basta",
    "better_call_saul",
    "bianlian",
    "blackbyte",
    "blacksuit",
    "bora",
    "breeding123",
    "brrr",
    "c_l_o_p",
    "carcass",
    "cerber",
    "cerber2",
    "cerber3",
    "cezar",
    "ciop",
    "clop",
    "conti",
    "coot",
    "crab",
    "cring",
    "crylock",
    "cryp1",
    "crypt",
    "crypted",
    "crypted000007",
    "cryptoshield",
    "crypz",
    "crysis",
    "ctb2",
    "ctbl",
    "cts1",
    "da_vinci_code",
    "deadbolt",
    "derp",
    "devos",
    "dharma",
    "diablo6",
    "djvuq",
    "djvur",
    "djvus",
    "djvuu",
    "dodoc",
    "domn",
    "doppeled",
    "dragonforce_encrypted",
    "ekans",
    "eking",
    "elbie",
    "enc",
    "enciphered",
    "encrypt",
    "encrypted",
    "encryptedrsa",
    "everbe",
    "exx",
    "ezz",
    "fargo3",
    "fonix",
    "gdcb",
    "gero",
    "gesd",
    "grod",
    "gusau",
    "gws",
    "harma",
    "hese",
    "hets",
    "hive",
    "hrm",
    "jaff",
    "jope",
    "kkk",
    "kkll",
    "kodg",
    "krab",
    "kroput",
    "kroput1",
    "kuub",
    "kvag",
    "lalo",
    "lockbit",
    "locked",
    "lockfile",
    "locky",
    "lokf",
    "loptr",
    "lukitus",
    "mado",
    "makop",
    "mallox",
    "mbed",
    "medusa",
    "megac0rtex",
    "meka",
    "merl",
    "mkos",
    "mkp",
    "moka",
    "mosk",
    "mpaj",
    "msop",
    "mtxlock",
    "nakw",
    "nbes",
    "nefilim",
    "nemty",
    "nesa",
    "no_more_ransom",
    "nols",
    "noos",
    "nozelesn",
    "npph",
    "nppp",
    "odin",
    "osiris",
    "peet",
    "peta",
    "phobos",
    "piny",
    "powerranges",
    "promos",
    "promoz",
    "pulsar1",
    "pysa",
    "qlkm",
    "qopo",
    "quantum",
    "reco",
    "redmat",
    "rezm",
    "rhysida",
    "righ",
    "rote",
    "royal",
    "royal_u",
    "royal_w",
    "rumba",
    "ryk",
    "scarab",
    "seto",
    "shariz",
    "snatch",
    "spora",
    "stn",
    "stubbin",
    "tfude",
    "tfudeq",
    "thor",
    "toec",
    "udjvu",
    "uudjvu",
    "v-society",
    "vvoa",
    "wcry",
    "weapologize",
    "werd",
    "wlu",
    "wncry",
    "wncryt",
    "wwkk",
    "xollam",
    "xtbl",
    "yanluowang",
    "ykcol",
    "zeppelin",
    "zepto",
    "zobm",
    "zzzzz",
};

// Both tables are searched by bisection, so they must stay in byte order.
constexpr bool Before(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b);
}
template <size_t N>
constexpr bool InByteOrder(const char* const (&table)[N]) {
    for (size_t i = 1; i < N; ++i)
        if (!Before(table[i - 1], table[i])) return false;
    return true;
}
static_assert(InByteOrder(kEverydayExtensions),
              "everyday_extensions.inc must be sorted and free of duplicates");
static_assert(InByteOrder(kEncryptorExtensions),
              "kEncryptorExtensions must be sorted and free of duplicates");

// Appended to a name by backups, versions and in-place compression.
const wchar_t* const kBackupWords[] = {
    L"bak", L"bk",   L"backup", L"old",  L"orig",     L"prev",    L"previous",
    L"sav", L"save", L"saved",  L"copy", L"disabled", L"disable", L"deactivated",
    L"off", L"asd",  L"bkp",    L"bac",  L"wbk",      L"xlk",
};
// Left beside a file by version control and merge tools: "notes.txt.mine",
// "notes.txt.r1234", "notes.txt.rej", "notes.txt.LOCAL".
const wchar_t* const kVersionWords[] = {L"mine",  L"rej",    L"ours",    L"theirs", L"base",
                                        L"local", L"remote", L"working", L"merge",  L"conflict"};
const wchar_t* const kCompressionExtensions[] = {L"gz", L"bz2", L"xz", L"zst", L"lz4", L"lzma", L"z", L"br"};
// Temporary and partial-download files: everyday when they go away (the
// download or save completes), and when written beside an original that is
// then deleted (atomic saves). Appended to a document by a rename, they count
// only toward a mass rename.
const wchar_t* const kTransientExtensions[] = {
    L"tmp",    L"temp", L"part", L"partial", L"crdownload", L"download", L"opdownload",  L"filepart",
    L"crswap", L"!ut",  L"!qb",  L"swp",     L"swo",        L"new",      L"moztmp",      L"dtapart",
    L"aria2",  L"!bt",  L"bc!",  L"!sync",   L"swx",        L"lck",      L"fdmdownload", L"kate-swp",
};
// Photo tools' sidecars, written beside a picture ("IMG_2041.CR2.xmp").
const wchar_t* const kSidecarExtensions[] = {L"xmp", L"pp3", L"dop", L"acr", L"on1", L"cos", L"aae", L"thm"};
// The files encryptors are after: documents, images, media and archives.
const wchar_t* const kUserFileExtensions[] = {
    L"doc",     L"docx", L"docm",  L"dot",  L"dotx", L"xls",  L"xlsx", L"xlsm", L"xlsb", L"xlt",
    L"xltx",    L"ppt",  L"pptx",  L"pptm", L"pps",  L"ppsx", L"pot",  L"potx", L"odt",  L"ods",
    L"odp",     L"odg",  L"rtf",   L"txt",  L"csv",  L"pdf",  L"md",   L"tex",  L"epub", L"pages",
    L"numbers", L"key",  L"accdb", L"mdb",  L"one",  L"pst",  L"vsdx", L"jpg",  L"jpeg", L"png",
    L"gif",     L"bmp",  L"tif",   L"tiff", L"webp", L"heic", L"heif", L"raw",  L"cr2",  L"cr3",
    L"nef",     L"arw",  L"dng",   L"orf",  L"psd",  L"psb",  L"ai",   L"svg",  L"eps",  L"dwg",
    L"dxf",     L"mp3",  L"wav",   L"flac", L"m4a",  L"mp4",  L"mov",  L"avi",  L"mkv",  L"wmv",
    L"zip",     L"7z",   L"rar",   L"tar",  L"gz",   L"tgz",  L"bz2",  L"xz",   L"iso",
};
const wchar_t* const kNoteFileTypes[] = {L"txt", L"html", L"htm", L"hta", L"rtf", L"url"};
// Where the unambiguous words count too: notes saved as web archives or
// logs, and pictures set as the wallpaper. Never code or programs ("decrypt.py").
const wchar_t* const kStrongNoteFileTypes[] = {L"txt",   L"html", L"htm", L"hta", L"rtf", L"url", L"mht",
                                               L"mhtml", L"log",  L"pdf", L"bmp", L"jpg", L"png", L"nfo"};
// The words a note is made of; a strong name of these and at most one other
// word fires alone.
const wchar_t* const kNoteVocabulary[] = {
    L"how",       L"to",      L"your",     L"my",           L"our",         L"all",        L"files",
    L"file",      L"data",    L"are",      L"were",         L"is",          L"has",        L"been",
    L"encrypted", L"restore", L"recover",  L"recovery",     L"back",        L"get",        L"read",
    L"me",        L"readme",  L"help",     L"instructions", L"instruction", L"important",  L"where",
    L"open",      L"unlock",  L"info",     L"please",       L"attention",   L"warning",    L"the",
    L"and",       L"a",       L"what",     L"happened",     L"return",      L"decryption", L"note",
    L"again",     L"now",     L"document", L"documents",    L"this",        L"txt"};
// What a note alone must speak of: the encryption, or getting the files back.
const wchar_t* const kAloneCues[] = {L"decrypt", L"decypher", L"ransom", L"encrypt",
                                     L"restore", L"recover",  L"back",   L"unlock"};

// Note vocabulary, matched on the name with separators removed.
const wchar_t* const kStrongNoteWords[] = {
    L"decrypt",        L"decypher",          L"ransom",    L"yourfiles", L"yourdata",    L"filesencrypted",
    L"encryptedfiles", L"filesareencrypted", L"filesback", L"backfiles", L"recoverdata",
};
const wchar_t* const kNoteActions[] = {L"restore", L"recover", L"unlock"};
const wchar_t* const kWeakNoteWords[] = {
    L"readme", L"howto",     L"restore", L"recover",  L"unlock",       L"instruction", L"attention",
    L"help",   L"encrypted", L"readit",  L"readthis", L"whathappened", L"manual",
};
// Words that count only standing alone between separators ("info.hta",
// "RGNR_info"), and the extensionless names code checkouts are full of.
const wchar_t* const kWeakNoteStems[] = {L"info"};
const wchar_t* const kCheckoutNames[] = {L"readme", L"howto", L"help", L"manual"};

template <size_t N>
bool IsOneOf(const std::wstring& text, const wchar_t* const (&list)[N]) {
    for (const wchar_t* item : list)
        if (text == item) return true;
    return false;
}

template <size_t N>
bool ContainsAny(const std::wstring& text, const wchar_t* const (&list)[N]) {
    for (const wchar_t* item : list)
        if (text.find(item) != std::wstring::npos) return true;
    return false;
}

// Binary search of a sorted table of ASCII texts; non-ASCII input is never in it.
template <size_t N>
bool InSortedTable(const char* const (&table)[N], const std::wstring& lower) {
    std::string narrow;
    narrow.reserve(lower.size());
    for (const wchar_t c : lower) {
        if (c <= 0 || c >= 0x80) return false;
        narrow += static_cast<char>(c);
    }
    const char* const* at = std::lower_bound(
        std::begin(table), std::end(table), narrow,
        [](const char* entry, const std::string& key) { return std::strcmp(entry, key.c_str()) < 0; });
    return at != std::end(table) && narrow == *at;
}

size_t ComponentStart(const std::wstring& name) {
    const size_t slash = name.find_last_of(L"\\/");
    return slash == std::wstring::npos ? 0 : slash + 1;
}

// The extension of the last component (after its last dot), or empty.
std::wstring ExtensionOf(const std::wstring& name) {
    const size_t start = ComponentStart(name);
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || dot < start || dot + 1 == name.size()) return std::wstring();
    return name.substr(dot + 1);
}

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}
bool IsLower(wchar_t c) {
    return c >= L'a' && c <= L'z';
}
bool IsUpper(wchar_t c) {
    return c >= L'A' && c <= L'Z';
}

bool IsUserFile(const std::wstring& name) {
    return IsOneOf(AsciiLower(ExtensionOf(name)), kUserFileExtensions);
}

// "bak1", "old2": a backup word followed by digits.
bool IsNumberedBackup(const std::wstring& c) {
    for (const wchar_t* word : {L"bak", L"old", L"backup"}) {
        const size_t n = std::wcslen(word);
        if (c.size() > n && c.compare(0, n, word) == 0 &&
            std::all_of(c.begin() + static_cast<std::ptrdiff_t>(n), c.end(), IsDigit))
            return true;
    }
    return false;
}

// Version numbers and rotation dates: digits with - _ and a T between them.
bool IsNumberOrDate(const std::wstring& c) {
    if (c.empty() || !IsDigit(c.front())) return false;
    for (const wchar_t ch : c)
        if (!IsDigit(ch) && ch != L'-' && ch != L'_' && ch != L't') return false;
    return true;
}

// "v2", "r1234", "rev12": version and revision numbers.
bool IsVersionNumber(const std::wstring& c) {
    for (const wchar_t* prefix : {L"v", L"r", L"rev", L"ver"}) {
        const size_t n = std::wcslen(prefix);
        if (c.size() > n && c.compare(0, n, prefix) == 0 &&
            std::all_of(c.begin() + static_cast<std::ptrdiff_t>(n), c.end(), IsDigit))
            return true;
    }
    return false;
}

// GNU numbered backups: "~1~".
bool IsTildeNumber(const std::wstring& c) {
    return c.size() >= 3 && c.front() == L'~' && c.back() == L'~' &&
           std::all_of(c.begin() + 1, c.end() - 1, IsDigit);
}

// "tmp12345"
bool IsNumberedTemp(const std::wstring& c) {
    return c.size() > 3 && c.compare(0, 3, L"tmp") == 0 && std::all_of(c.begin() + 3, c.end(), IsDigit);
}

uint64_t HashLower(const std::wstring& text, size_t from = 0, size_t count = std::wstring::npos) {
    uint64_t h = 1469598103934665603ull;
    const size_t end = count == std::wstring::npos ? text.size() : std::min(text.size(), from + count);
    for (size_t i = from; i < end; ++i) {
        wchar_t c = text[i];
        if (IsUpper(c)) c = static_cast<wchar_t>(c + 0x20);
        h = (h ^ (static_cast<uint32_t>(c) & 0x1FFFFF)) * 1099511628211ull;
    }
    return h;
}

// Random-looking: at least four letters and digits, nothing else, and either
// letter case flipping three times or more (mixed-case random strings) or
// letters and digits alternating three times or more.
bool LooksRandom(const std::wstring& ext) {
    if (ext.size() < 4) return false;
    int caseFlips = 0, kindFlips = 0;
    int lastCase = 0, lastKind = 0;  // 1 lower / 2 upper; 1 letter / 2 digit
    for (const wchar_t c : ext) {
        int kind = 0, letterCase = 0;
        if (IsLower(c))
            kind = 1, letterCase = 1;
        else if (IsUpper(c))
            kind = 1, letterCase = 2;
        else if (IsDigit(c))
            kind = 2;
        else
            return false;
        if (lastKind && kind != lastKind) ++kindFlips;
        if (letterCase) {
            if (lastCase && letterCase != lastCase) ++caseFlips;
            lastCase = letterCase;
        }
        lastKind = kind;
    }
    return caseFlips >= 3 || kindFlips >= 3;
}

// "…[mail@host].ext": the id-and-mail marker of many encryptor families.
bool HasMailMarker(const std::wstring& name) {
    const size_t start = ComponentStart(name);
    const size_t firstDot = name.find(L'.', start);
    if (firstDot == std::wstring::npos) return false;
    const size_t open = name.find(L'[', firstDot);
    return open != std::wstring::npos && name.find(L'@', open) != std::wstring::npos;
}

// The last component without separators, ASCII-folded: "@Please_Read_Me@" -> "pleasereadme".
std::wstring NormalizedStem(const std::wstring& stem) {
    std::wstring out;
    for (wchar_t c : stem) {
        if (IsUpper(c)) c = static_cast<wchar_t>(c + 0x20);
        if (c < 0x80 && !IsLower(c) && !IsDigit(c)) continue;
        out += c;
    }
    return out;
}

// Whether one of the words stands alone in the text, between separators or the ends.
template <size_t N>
bool HasSeparateWord(const std::wstring& text, const wchar_t* const (&words)[N]) {
    std::wstring word;
    for (size_t i = 0; i <= text.size(); ++i) {
        wchar_t c = i < text.size() ? text[i] : L' ';
        if (IsUpper(c)) c = static_cast<wchar_t>(c + 0x20);
        if (c >= 0x80 || IsLower(c) || IsDigit(c)) {
            word += c;
            continue;
        }
        if (IsOneOf(word, words)) return true;
        word.clear();
    }
    return false;
}

template <typename T>
void DropOlderThan(std::deque<T>& items, int64_t oldest) {
    while (!items.empty() && items.front().time < oldest) items.pop_front();
}

void Remember(std::deque<ExtendedNameState::Seen>& items, uint64_t key, int64_t now, uint64_t extra = 0) {
    for (auto& s : items) {
        if (s.key == key) {
            s.time = now;
            s.extra = extra;
            return;
        }
    }
    if (items.size() >= kRecentNamesLimit) items.pop_front();
    items.push_back({key, now, extra});
}

// Entries are refreshed in place, so the deque is only roughly in time order:
// the age is checked here too.
bool Contains(const std::deque<ExtendedNameState::Seen>& items, uint64_t key, int64_t since) {
    for (const auto& s : items)
        if (s.key == key && s.time >= since) return true;
    return false;
}

// Each way to read `name` as "<base>.<appended part>" (a dot inside the last
// component, not its first character), with the part everyday or not.
template <typename Fn>
void ForEachBase(const std::wstring& name, Fn fn) {
    const size_t start = ComponentStart(name);
    int splits = 0;
    for (size_t dot = name.find(L'.', start + 1); dot != std::wstring::npos && splits < 8;
         dot = name.find(L'.', dot + 1), ++splits) {
        if (dot + 1 >= name.size()) break;
        if (fn(name.substr(0, dot), name.substr(dot + 1))) return;
    }
}

}  // namespace

// Lock and autosave markers: "~1a2b3c" (partial sync downloads), "odt#"
// (".~lock.report.odt#"), "txt#" ("#notes.txt#").
static bool IsMarkedTransient(const std::wstring& ext) {
    return !ext.empty() && (ext.front() == L'~' || ext.back() == L'#' || ext.back() == L'~');
}

static bool IsUnknownExtension(const std::wstring& ext, const std::wstring& name) {
    return !ext.empty() && !IsEverydayExtension(ext) && !IsEverydayAppendedPart(ext, std::wstring(), false) &&
           !IsMarkedTransient(ext) && name.size() > ext.size();
}

// The text a save tool glues to a name without a dot ("notes.txt___jb_old___",
// "report.docx-backup"): separators and words, at least one of them a backup
// or temporary word, the others tool tags of one or two letters or numbers.
static bool IsGluedSaveSuffix(const std::wstring& suffix) {
    bool saveWord = false;
    std::wstring word;
    for (size_t i = 0; i <= suffix.size(); ++i) {
        const wchar_t c = i < suffix.size() ? suffix[i] : L'_';
        if (IsLower(c) || IsDigit(c)) {
            word += c;
            continue;
        }
        if (c != L'_' && c != L'-' && c != L'~' && c != L'.' && c != L'$' && c != L'#') return false;
        if (word.empty()) continue;
        if (IsOneOf(word, kBackupWords) || IsOneOf(word, kTransientExtensions) || IsNumberedTemp(word))
            saveWord = true;
        else if (!(word.size() <= 2 || std::all_of(word.begin(), word.end(), IsDigit)))
            return false;
        word.clear();
    }
    return saveWord;
}

bool IsEverydayExtension(const std::wstring& extension) {
    return !extension.empty() && InSortedTable(kEverydayExtensions, AsciiLower(extension));
}

bool IsEverydayAppendedPart(const std::wstring& part, const std::wstring& oldName, bool transientAllowed) {
    const std::wstring lower = AsciiLower(part);
    const std::wstring oldExt = AsciiLower(ExtensionOf(oldName));
    const bool transientQuiet = transientAllowed || !IsUserFile(oldName);
    size_t from = 0;
    for (;;) {
        const size_t dot = lower.find(L'.', from);
        const std::wstring c =
            lower.substr(from, dot == std::wstring::npos ? std::wstring::npos : dot - from);
        const bool rotated = from > 0 && dot == std::wstring::npos && IsEverydayExtension(c);  // "log.1.txt"
        const bool everyday = c.empty() || rotated || IsOneOf(c, kBackupWords) || IsNumberedBackup(c) ||
                              IsNumberOrDate(c) || IsTildeNumber(c) || IsOneOf(c, kCompressionExtensions) ||
                              IsVersionNumber(c) || IsOneOf(c, kVersionWords) || IsMarkedTransient(c) ||
                              (transientAllowed && IsOneOf(c, kSidecarExtensions)) ||
                              (transientQuiet && (IsOneOf(c, kTransientExtensions) || IsNumberedTemp(c))) ||
                              (transientAllowed && IsEverydayExtension(c)) ||
                              (!oldExt.empty() && c == oldExt && dot == std::wstring::npos && from == 0);
        if (!everyday) return false;
        if (dot == std::wstring::npos) return true;
        from = dot + 1;
    }
}

// A rename of a user file that no rule flags by itself but that adds to a
// mass rename: an everyday-looking part appended ("budget.xlsx.bak", ".1"),
// or the type replaced by one that is not a user file ("budget.bin"). Not:
// compression, a repeated type, a conversion to another user-file type, and
// the editors' marks ("notes.txt~").
static bool IsQuietUserFileRename(const std::wstring& oldName, const std::wstring& newName) {
    if (!IsUserFile(oldName)) return false;
    const std::wstring oldLower = AsciiLower(oldName);
    const std::wstring newLower = AsciiLower(newName);
    const std::wstring newExt = AsciiLower(ExtensionOf(newName));
    if (newExt.empty() || oldLower == newLower || IsMarkedTransient(newExt) ||
        IsOneOf(newExt, kCompressionExtensions) || IsUserFile(newName))
        return false;
    if (newLower.size() > oldLower.size() + 1 && newLower.compare(0, oldLower.size(), oldLower) == 0 &&
        newLower[oldLower.size()] == L'.')
        return newLower.find_first_of(L"\\/", oldLower.size()) == std::wstring::npos;
    return ComponentStart(oldName) == ComponentStart(newName) &&
           oldLower.compare(0, ComponentStart(oldName), newLower, 0, ComponentStart(newName)) == 0;
}

const char* ClassifyRename(const std::wstring& oldName, const std::wstring& newName) {
    const std::wstring oldLower = AsciiLower(oldName);
    const std::wstring newLower = AsciiLower(newName);
    if (oldLower.empty() || oldLower == newLower) return nullptr;  // a case change
    if (newLower.size() > oldLower.size() && newLower.compare(0, oldLower.size(), oldLower) == 0 &&
        newLower.find_first_not_of(L"~0123456789", oldLower.size()) == std::wstring::npos)
        return nullptr;  // "notes.txt~": an editor's backup
    if (newLower.size() > oldLower.size() && newLower.compare(0, oldLower.size(), oldLower) == 0 &&
        newLower[oldLower.size()] != L'.' && IsGluedSaveSuffix(newLower.substr(oldLower.size())))
        return nullptr;  // "notes.txt___jb_old___": a safe-write's kept original

    if (newLower.size() > oldLower.size() + 1 && newLower.compare(0, oldLower.size(), oldLower) == 0 &&
        newLower[oldLower.size()] == L'.') {
        const std::wstring part = newName.substr(oldName.size() + 1);
        if (part.find_first_of(L"\\/") != std::wstring::npos) return nullptr;
        // A temporary part on a document is a save's first step: alone it
        // says nothing (unrestored, it adds to a mass rename).
        return IsEverydayAppendedPart(part, oldName, false) ||
                       IsEverydayAppendedPart(part, std::wstring(), false)
                   ? nullptr
                   : kReasonAppendedExtension;
    }

    // A document's extension replaced by an unknown one, with or without a
    // new file name ("budget.xlsx" -> "budget.ryk", -> "5C8F0A2B.locky").
    if (!IsUserFile(oldName) || !IsUnknownExtension(ExtensionOf(newName), newName)) return nullptr;
    return kReasonReplacedExtension;
}

bool HasEncryptedLikeExtensionExtended(const std::wstring& relativeName) {
    if (HasMailMarker(relativeName)) return true;
    const std::wstring ext = ExtensionOf(relativeName);
    if (ext.empty()) return false;
    const std::wstring lower = AsciiLower(ext);
    if (IsEverydayExtension(lower)) return false;
    return InSortedTable(kEncryptorExtensions, lower) || LooksRandom(ext);
}

// Whether the stem is note words with at most one other word (a family name
// or a victim id). Words are split at separators; a word holding a strong
// note word counts as a note word ("ransomnote", "decrypting").
static bool MadeOfNoteWords(const std::wstring& stem) {
    size_t others = 0, words = 0;
    std::wstring word;
    for (size_t i = 0; i <= stem.size(); ++i) {
        wchar_t c = i < stem.size() ? stem[i] : L' ';
        if (IsUpper(c)) c = static_cast<wchar_t>(c + 0x20);
        if (c >= 0x80 || IsLower(c) || IsDigit(c)) {
            word += c;
            continue;
        }
        if (word.empty()) continue;
        ++words;
        if (!IsOneOf(word, kNoteVocabulary) && !ContainsAny(word, kStrongNoteWords)) ++others;
        word.clear();
    }
    return words > 0 && others <= 1;
}

NoteStrength NoteNameStrength(const std::wstring& relativeName) {
    const size_t start = ComponentStart(relativeName);
    const std::wstring ext = AsciiLower(ExtensionOf(relativeName));
    const bool noteType = IsOneOf(ext, kNoteFileTypes);
    const size_t stemEnd = ext.empty() ? relativeName.size() : relativeName.size() - ext.size() - 1;
    const std::wstring stem = relativeName.substr(start, stemEnd - start);
    const std::wstring norm = NormalizedStem(stem);
    if (norm.empty()) return NoteStrength::kNone;
    if (ext.empty() || IsOneOf(ext, kStrongNoteFileTypes)) {
        const bool strong = ContainsAny(norm, kStrongNoteWords) ||
                            (ContainsAny(norm, kNoteActions) && norm.find(L"files") != std::wstring::npos);
        if (strong)
            return ContainsAny(norm, kAloneCues) && MadeOfNoteWords(stem) ? NoteStrength::kAlone
                                                                          : NoteStrength::kStrong;
    }
    const bool weakWords = ContainsAny(norm, kWeakNoteWords) || HasSeparateWord(stem, kWeakNoteStems);
    if (weakWords && noteType && !ext.empty()) return NoteStrength::kWeak;
    if (weakWords && ext.empty() && !IsOneOf(norm, kCheckoutNames)) return NoteStrength::kWeak;
    return NoteStrength::kNone;
}

namespace {

// Each folder of the name, innermost first ("a\b\c.txt": "a\b", "a").
template <typename Fn>
void ForEachFolder(const std::wstring& name, Fn fn) {
    size_t end = ComponentStart(name);
    for (int depth = 0; end > 0 && depth < 8; ++depth) {
        const std::wstring folder = name.substr(0, end - 1);
        if (fn(folder)) return;
        const size_t slash = folder.find_last_of(L"\\/");
        end = slash == std::wstring::npos ? 0 : slash + 1;
    }
}

// An added name: a new folder above it that fills up within kUnpackSeconds
// is a tree being unpacked or copied in.
void NoteAdded(ExtendedNameState& state, const std::wstring& name, int64_t now) {
    // Up through the new folders only: the first older folder ends the walk.
    ForEachFolder(name, [&](const std::wstring& folder) {
        const uint64_t key = HashLower(folder);
        if (!Contains(state.recentAdds, key, now - kUnpackSeconds)) return true;
        for (auto& f : state.freshFolders) {
            if (f.key == key) {
                ++f.extra;
                f.time = now;
                return false;
            }
        }
        if (state.freshFolders.size() >= kRecentNamesLimit) state.freshFolders.pop_front();
        state.freshFolders.push_back({key, now, 1});
        return false;
    });
    Remember(state.recentAdds, HashLower(name), now);
}

bool InsideFreshUnpack(const ExtendedNameState& state, const std::wstring& name, int64_t now) {
    bool unpacking = false;
    ForEachFolder(name, [&](const std::wstring& folder) {
        const uint64_t key = HashLower(folder);
        for (const auto& f : state.freshFolders)
            if (f.key == key && f.time >= now - kUnpackSeconds && f.extra >= kUnpackFiles) unpacking = true;
        return unpacking;
    });
    return unpacking;
}

uint64_t ExtensionKey(const std::wstring& name) {
    return HashLower(ExtensionOf(name));
}

// Appended by file-encryption tools beside an original they leave alone.
bool IsToolEncryptionPart(const std::wstring& name) {
    const std::wstring ext = AsciiLower(ExtensionOf(name));
    if (ext != L"enc" && ext != L"gpg" && ext != L"aes") return false;
    const std::wstring base = name.substr(0, name.size() - ext.size() - 1);
    return !ExtensionOf(base).empty();
}

}  // namespace

ExtendedNameVerdict EvaluateRecordInTree(ExtendedNameState& state, SharedNameEvidence* shared,
                                         const std::wstring& tree, const std::wstring& name, int action,
                                         int64_t nowSeconds, bool noteEnabled, bool extEnabled) {
    const int64_t oldest = nowSeconds - kWriteDeleteSeconds;
    DropOlderThan(state.deleted, oldest);
    DropOlderThan(state.writtenBases, oldest);
    DropOlderThan(state.userFileDeletedIn, oldest);
    DropOlderThan(state.unknownWrittenIn, oldest);
    DropOlderThan(state.recentAdds, nowSeconds - kUnpackSeconds);
    DropOlderThan(state.userFilesBack, oldest);
    const uint64_t folderKey = HashLower(name, 0, ComponentStart(name));
    const auto qualified = [&](const std::wstring& n) { return tree.empty() ? n : tree + L"\\" + n; };
    // The pool: the shared one under its lock, taken for this call alone.
    const auto withPool = [&](auto fn) {
        if (!shared) return fn(state.own);
        std::lock_guard<std::mutex> guard(shared->lock);
        return fn(shared->pool);
    };

    const char* ext = nullptr;
    // A user file given a new extension: the original's name and the extension's key.
    std::wstring renamedOriginal;
    uint64_t newExtension = 0;
    const auto userFileRenamed = [&](const std::wstring& original, uint64_t extension) {
        if (!IsUserFile(original)) return;
        renamedOriginal = original;
        newExtension = extension;
    };
    const bool pairing = action == kActionRenamedNew && state.hasPendingOld &&
                         nowSeconds - state.pendingTime <= kRenamePairSeconds &&
                         nowSeconds >= state.pendingTime;
    if (pairing) {
        ext = ClassifyRename(state.pendingOld, name);
        if (ext || IsQuietUserFileRename(state.pendingOld, name))
            userFileRenamed(state.pendingOld, ExtensionKey(name));
    }
    if (action == kActionRenamedOld) {
        state.hasPendingOld = true;
        state.pendingOld = name;
        state.pendingTime = nowSeconds;
    } else {
        state.hasPendingOld = false;
        state.pendingOld.clear();
    }

    if (action == kActionAdded || action == kActionRenamedNew) {
        const uint64_t backKey = HashLower(qualified(name));
        withPool([&](NameEvidencePool& pool) { NoteNameBack(pool, backKey, nowSeconds); });
        if (action == kActionAdded) NoteAdded(state, name, nowSeconds);
        if (IsUserFile(name))
            Remember(state.userFilesBack, HashLower(name, 0, name.size() - ExtensionOf(name).size() - 1),
                     nowSeconds);
        // A new file beside a just-deleted original: "<deleted name>.<part>".
        ForEachBase(name, [&](const std::wstring& base, const std::wstring& part) {
            if (ext || !Contains(state.deleted, HashLower(base), oldest) ||
                IsEverydayAppendedPart(part, base, true))
                return false;
            ext = kReasonAppendedExtension;
            userFileRenamed(base, ExtensionKey(name));
            return true;
        });
        ForEachBase(name, [&](const std::wstring& base, const std::wstring& part) {
            if (IsEverydayAppendedPart(part, base, true)) return false;
            const uint64_t baseKey = HashLower(base);
            Remember(state.writtenBases, baseKey, nowSeconds, ExtensionKey(name));
            return false;
        });
        // A new file of an unknown type where a document was just deleted:
        // encryptors that also rename write "<random>.<their extension>".
        if (IsUnknownExtension(ExtensionOf(name), name) &&
            !IsEverydayAppendedPart(ExtensionOf(name), std::wstring(), true)) {
            if (!ext && Contains(state.userFileDeletedIn, folderKey, oldest)) {
                ext = kReasonReplacedExtension;
                // "b.docx.zqx" is b.docx's, as its deletion will say; a new
                // name counts as itself.
                const std::wstring inner = name.substr(0, name.size() - ExtensionOf(name).size() - 1);
                renamedOriginal = IsUserFile(inner) ? inner : name;
                newExtension = ExtensionKey(name);
            }
            Remember(state.unknownWrittenIn, folderKey, nowSeconds, ExtensionKey(name));
        }
    } else if (action == kActionRemoved) {
        // The original deleted after its new version was written.
        const uint64_t key = HashLower(name);
        for (const auto& w : state.writtenBases) {
            if (w.key == key && w.time >= oldest) {
                ext = kReasonAppendedExtension;
                userFileRenamed(name, w.extra);
            }
        }
        Remember(state.deleted, key, nowSeconds);
        if (IsUserFile(name)) {
            for (const auto& u : state.unknownWrittenIn) {
                if (!ext && u.key == folderKey && u.time >= oldest) {
                    ext = kReasonReplacedExtension;
                    userFileRenamed(name, u.extra);
                }
            }
            Remember(state.userFileDeletedIn, folderKey, nowSeconds);
        }
    }
    // A tool's "notes.docx.gpg" written beside its original: only the
    // original's deletion (above) makes it count.
    const bool toolCopy = (action == kActionAdded || action == kActionModified) && IsToolEncryptionPart(name);
    // A save's temporary name going away once its user file is back
    // ("report.docx.aB3dE9", "report.aB3dE9" after "report.docx"): leftovers.
    bool saveLeftover = false;
    if (action == kActionRemoved || action == kActionRenamedOld)
        ForEachBase(name, [&](const std::wstring& base, const std::wstring&) {
            const size_t stem = IsUserFile(base) ? base.size() - ExtensionOf(base).size() - 1 : base.size();
            saveLeftover = Contains(state.userFilesBack, HashLower(base, 0, stem), oldest);
            return saveLeftover;
        });
    if (!ext && !toolCopy && !saveLeftover && HasEncryptedLikeExtensionExtended(name))
        ext = kReasonEncryptedLikeExtension;

    MassRename mass = MassRename::kNone;
    if (!renamedOriginal.empty()) {
        const uint64_t originalKey = HashLower(qualified(renamedOriginal));
        mass = withPool([&](NameEvidencePool& pool) {
            return NoteRenamedUserFile(pool, newExtension, originalKey, nowSeconds);
        });
        // Quiet renames speak once they make a mass rename, and only then.
        if (!ext && mass == MassRename::kReport) {
            const std::wstring oldLower = AsciiLower(renamedOriginal) + L".";
            ext = AsciiLower(name).compare(0, oldLower.size(), oldLower) == 0 ? kReasonAppendedExtension
                                                                              : kReasonReplacedExtension;
        }
        if (!ext) mass = MassRename::kNone;
    }

    bool note = false;
    if (action == kActionAdded || action == kActionModified || action == kActionRenamedNew) {
        const NoteStrength strength = NoteNameStrength(name);
        // A name strong enough to stand alone is a note wherever it appears.
        if (strength != NoteStrength::kNone &&
            (strength == NoteStrength::kAlone || !InsideFreshUnpack(state, name, nowSeconds))) {
            const size_t start = ComponentStart(name);
            const uint64_t nameKey = HashLower(name, start);
            const uint64_t noteFolderKey = HashLower(qualified(name.substr(0, start)));
            const size_t folders = withPool([&](NameEvidencePool& pool) {
                return NoteNameSighting(pool, nameKey, noteFolderKey, nowSeconds, kNoteSpreadSeconds);
            });
            const size_t needed = strength == NoteStrength::kAlone    ? kAloneNoteFolders
                                  : strength == NoteStrength::kStrong ? kStrongNoteFolders
                                                                      : kWeakNoteFolders;
            note = folders >= needed;
        }
    }

    ExtendedNameVerdict verdict;
    verdict.note = note && noteEnabled;
    verdict.extReason = extEnabled ? ext : nullptr;
    verdict.massRename = extEnabled && verdict.extReason ? mass : MassRename::kNone;
    // A new name that is itself the original has nothing to come back.
    if (verdict.extReason && !renamedOriginal.empty() &&
        !(action != kActionRemoved && AsciiLower(renamedOriginal) == AsciiLower(name)))
        verdict.original = renamedOriginal;
    if (verdict.note && verdict.extReason)
        verdict.reason = kReasonNoteAndExtension;
    else if (verdict.note)
        verdict.reason = kReasonRansomNoteLike;
    else
        verdict.reason = verdict.extReason;
    return verdict;
}

ExtendedNameVerdict EvaluateRecordExtended(ExtendedNameState& state, const std::wstring& name, int action,
                                           int64_t nowSeconds, bool noteEnabled, bool extEnabled) {
    return EvaluateRecordInTree(state, nullptr, std::wstring(), name, action, nowSeconds, noteEnabled,
                                extEnabled);
}
