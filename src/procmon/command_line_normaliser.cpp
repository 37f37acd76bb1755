#include "procmon/command_line_normaliser.h"

#include <cstddef>
#include <cwctype>
#include <utility>

#include "fsmon/file_name_heuristics.h"
#include "procmon/process_heuristics.h"

namespace {

bool IsQuote(wchar_t c) {
    return c == L'"' || c == L'\'';
}

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == 0x00A0;
}

size_t SkipBlanks(const std::wstring& text, size_t at) {
    while (at < text.size() && IsBlank(text[at])) ++at;
    return at;
}

// 'a' + 'b' -> 'ab': a quote, blanks, '+', blanks, a quote all go.
std::wstring JoinConcatenations(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (IsQuote(text[i])) {
            const size_t plus = SkipBlanks(text, i + 1);
            if (plus < text.size() && text[plus] == L'+') {
                const size_t next = SkipBlanks(text, plus + 1);
                if (next < text.size() && IsQuote(text[next])) {
                    i = next;
                    continue;
                }
            }
        }
        out += text[i];
    }
    return out;
}

// ( 'text' ) -> text, for a single literal with no quote of its kind inside.
std::wstring UnwrapLiterals(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        // Only a grouping: "name('x')" is a call, whose argument stays apart.
        const bool grouping = i == 0 || !(iswalnum(text[i - 1]) || text[i - 1] == L'_');
        if (text[i] == L'(' && grouping) {
            const size_t open = SkipBlanks(text, i + 1);
            if (open < text.size() && IsQuote(text[open])) {
                const size_t close = text.find(text[open], open + 1);
                if (close != std::wstring::npos) {
                    const size_t paren = SkipBlanks(text, close + 1);
                    if (paren < text.size() && text[paren] == L')') {
                        out.append(text, open + 1, close - open - 1);
                        i = paren;
                        continue;
                    }
                }
            }
        }
        out += text[i];
    }
    return out;
}

bool IsDash(wchar_t c) {
    return c == 0x2013 || c == 0x2014 || c == 0x2015;
}

wchar_t FoldOne(wchar_t c) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    switch (c) {
        case L'0':
            return L'o';
        case L'1':
            return L'l';
        case L'i':
            return L'l';
        case L'3':
            return L'e';
        case L'4':
            return L'a';
        case L'5':
            return L's';
        case L'$':
            return L's';
        case L'@':
            return L'a';
        // Cyrillic, both cases, then Greek.
        case 0x0430:
        case 0x0410:
            return L'a';
        case 0x0435:
        case 0x0415:
            return L'e';
        case 0x043E:
        case 0x041E:
            return L'o';
        case 0x0440:
        case 0x0420:
            return L'p';
        case 0x0441:
        case 0x0421:
            return L'c';
        case 0x0445:
        case 0x0425:
            return L'x';
        case 0x0443:
            return L'y';
        case 0x0456:
        case 0x0406:
            return L'l';
        case 0x0455:
        case 0x0405:
            return L's';
        case 0x04BB:
            return L'h';
        case 0x0501:
            return L'd';
        case 0x043A:
        case 0x041A:
            return L'k';
        case 0x043C:
        case 0x041C:
            return L'm';
        case 0x0442:
        case 0x0422:
            return L't';
        case 0x03BF:
        case 0x039F:
            return L'o';
        case 0x03BD:
            return L'v';
        case 0x03B1:
            return L'a';
        default:
            return c;
    }
}

std::wstring Stem(const std::wstring& name) {
    const size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

// `longer` is `shorter` with one letter put in at a place from `first` to
// `last` (positions in `longer`).
bool OneAddedBetween(const std::wstring& shorter, const std::wstring& longer, size_t first, size_t last) {
    if (longer.size() != shorter.size() + 1) return false;
    for (size_t k = first; k <= last && k < longer.size(); ++k)
        if (longer.compare(0, k, shorter, 0, k) == 0 &&
            longer.compare(k + 1, std::wstring::npos, shorter, k, std::wstring::npos) == 0)
            return true;
    return false;
}

bool NeighboursSwapped(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k + 1 < a.size(); ++k) {
        if (a[k] == a[k + 1]) continue;
        std::wstring s = a;
        std::swap(s[k], s[k + 1]);
        if (s == b) return true;
    }
    return false;
}

// `longer` is `shorter` with one of its letters doubled.
bool LetterDoubled(const std::wstring& shorter, const std::wstring& longer) {
    for (size_t k = 0; k < shorter.size(); ++k)
        if (longer.size() == shorter.size() + 1 && longer.compare(0, k + 1, shorter, 0, k + 1) == 0 &&
            longer[k + 1] == shorter[k] &&
            longer.compare(k + 2, std::wstring::npos, shorter, k + 1, std::wstring::npos) == 0)
            return true;
    return false;
}

bool OneSlipAway(const std::wstring& core, const std::wstring& candidate) {
    if (core.size() < 5) return false;  // "smss" is one slip from too many short names
    if (NeighboursSwapped(core, candidate)) return true;
    if (LetterDoubled(core, candidate) || LetterDoubled(candidate, core)) return true;
    if (core.size() < 7) return false;
    // One letter added anywhere, or one left out between the first and the last.
    return OneAddedBetween(core, candidate, 0, core.size()) ||
           (core.size() >= 3 && OneAddedBetween(candidate, core, 1, core.size() - 2));
}

// \" is a quote to the argument parser that hands the text on.
std::wstring UnescapeQuotes(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'"')) out += text[i];
    return out;
}

}  // namespace

std::wstring NormaliseCommandLine(const std::wstring& commandLine) {
    const std::wstring text = UnwrapLiterals(JoinConcatenations(UnescapeQuotes(commandLine)));
    std::wstring out;
    out.reserve(text.size());
    bool blank = false;
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (IsQuote(c)) continue;
        if (c == L'^' || c == L'`') {
            // A doubled escape stands for the character itself.
            if (i + 1 < text.size() && text[i + 1] == c) {
                ++i;
            } else {
                continue;
            }
        }
        if (IsDash(c)) c = L'-';
        if (IsBlank(c)) {
            blank = true;
            continue;
        }
        if (blank && !out.empty()) out += L' ';
        blank = false;
        out += c;
    }
    return out;
}

std::wstring FoldLookAlikes(const std::wstring& name) {
    std::wstring out;
    out.reserve(name.size());
    for (const wchar_t c : name) {
        const wchar_t f = FoldOne(c);
        if (!out.empty() && ((out.back() == L'r' && f == L'n') || (out.back() == L'v' && f == L'v'))) {
            out.back() = out.back() == L'r' ? L'm' : L'w';
            continue;
        }
        out += f;
    }
    return out;
}

std::wstring ImitatedCoreName(const std::wstring& name, bool* slip) {
    if (slip) *slip = false;
    if (name.empty()) return std::wstring();
    const std::wstring lower = AsciiLower(name);
    for (const wchar_t* core : CoreProcessNames)
        if (lower == core) return std::wstring();
    const std::wstring folded = FoldLookAlikes(name);
    const std::wstring stem = Stem(lower);
    for (const wchar_t* core : CoreProcessNames)
        if (folded == FoldLookAlikes(core)) return core;
    if (lower.size() > stem.size() && lower.compare(stem.size(), std::wstring::npos, L".exe") != 0)
        return std::wstring();
    for (const wchar_t* core : CoreProcessNames) {
        if (!OneSlipAway(FoldLookAlikes(Stem(core)), FoldLookAlikes(stem))) continue;
        if (slip) *slip = true;
        return core;
    }
    return std::wstring();
}
