// Every candidate collects points from independent pieces of evidence, each
// with its reason; the best five are named, or nobody when even the best has
// too little. A holder of the touched file is ranked above all others by
// construction (the sort puts holders first), not only by its points.
#include "procmon/culprit_ranking.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "core/text.h"

namespace {

constexpr int64_t kSecondMs = 1000;
constexpr int64_t kMinuteMs = 60 * kSecondMs;

wchar_t FoldChar(wchar_t c) {
    if (c == L'/') return L'\\';
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring Fold(const std::wstring& text) {
    std::wstring out = text;
    for (wchar_t& c : out) c = FoldChar(c);
    while (out.size() > 1 && out.back() == L'\\') out.pop_back();
    return out;
}

// The folded path lies inside the folded folder (not merely shares its start).
bool Inside(const std::wstring& path, const std::wstring& folder) {
    if (folder.empty() || path.size() <= folder.size()) return false;
    return path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == L'\\';
}

std::wstring LastComponent(const std::wstring& path) {
    const size_t sep = path.find_last_of(L"\\/");
    return sep == std::wstring::npos ? path : path.substr(sep + 1);
}

// "Downloads", "Temp", or "AppData\Local" where the last part alone says little.
std::string FolderLabel(const std::wstring& folder) {
    std::wstring trimmed = folder;
    while (trimmed.size() > 1 && (trimmed.back() == L'\\' || trimmed.back() == L'/')) trimmed.pop_back();
    const size_t sep = trimmed.find_last_of(L"\\/");
    if (sep == std::wstring::npos) return WideToUtf8(trimmed);
    const std::wstring last = trimmed.substr(sep + 1);
    const std::wstring parent = LastComponent(trimmed.substr(0, sep));
    return WideToUtf8(Fold(parent) == L"appdata" ? parent + L"\\" + last : last);
}

std::string DisplayName(const RememberedProcess& p) {
    if (!p.name.empty()) return WideToUtf8(p.name);
    if (!p.path.empty()) return WideToUtf8(LastComponent(p.path));
    return "pid " + std::to_string(p.pid);
}

struct Candidate {
    Suspect suspect;
    int64_t startKey = 0;  // for the order of equals: the start, unknown ones last
};

void Add(Suspect& s, int32_t points, std::string why) {
    s.points += points;
    s.why.push_back(std::move(why));
}

int32_t PointsForLead(int64_t beforeMs) {
    if (beforeMs <= 10 * kSecondMs) return kStartedWithin10sPoints;
    if (beforeMs <= kMinuteMs) return kStartedWithin1MinPoints;
    if (beforeMs <= 5 * kMinuteMs) return kStartedWithin5MinPoints;
    if (beforeMs <= kProcessMemoryMs) return kStartedEarlierPoints;
    return 0;
}

void WeighStart(const SuspectQuery& q, Suspect& s) {
    const RememberedProcess& p = s.process;
    const bool exact = p.startedMs != 0;
    // Without a creation time, when it was noticed is the latest it can have started.
    const int64_t start = exact ? p.startedMs : p.seenMs;
    if (start == 0) return;
    const std::string started = exact ? "started " : "was noticed starting ";
    if (start <= q.damageStartMs) {
        const int64_t lead = q.damageStartMs - start;
        Add(s, PointsForLead(lead), started + DescribeDuration(lead) + " before the first change");
    } else if (start <= q.incidentMs) {
        // Only when the first change is known no closer than a window before the incident (a burst).
        Add(s, kStartedWhileDamagedPoints,
            started + DescribeDuration(q.incidentMs - start) +
                " before the incident, when the changes may already have begun");
    } else if (exact) {
        Add(s, kStartedAfterPoints,
            "started " + DescribeDuration(start - q.incidentMs) +
                " after the incident, so it cannot have begun the damage");
    }
}

void WeighEnd(const SuspectQuery& q, Suspect& s) {
    const int64_t ended = s.process.endedMs;
    if (ended == 0 || s.holdsFile) {
        Add(s, kRunningPoints, "is still running");
    } else if (ended < q.damageStartMs) {
        Add(s, kEndedBeforePoints,
            "ended " + DescribeDuration(q.damageStartMs - ended) +
                " before the first change, so it cannot have made it");
    } else {
        Add(s, kRunningPoints,
            "ended " + DescribeDuration(ended - q.damageStartMs) + " after the first change");
    }
}

void WeighImage(const SuspectQuery& q, Suspect& s) {
    if (s.process.path.empty()) return;
    const std::wstring path = Fold(s.process.path);
    const std::wstring* best = nullptr;
    size_t bestLength = 0;
    for (const std::wstring& folder : q.userWritableFolders) {
        const std::wstring f = Fold(folder);
        if (f.size() > bestLength && Inside(path, f)) {
            best = &folder;
            bestLength = f.size();
        }
    }
    if (best) {
        Add(s, kUserWritablePoints,
            "runs from " + FolderLabel(*best) + ", a folder any program of the user can write to");
    } else if (Inside(path, Fold(q.systemFolder))) {
        Add(s, kSystemFolderPoints, "runs from the Windows folder");
    }
}

void WeighScoreAndName(Suspect& s) {
    const RememberedProcess& p = s.process;
    if (p.score > 0) {
        std::string why = "has a process score of " + std::to_string(p.score);
        if (!p.signals.empty()) why += " (" + p.signals + ")";
        Add(s, std::min(p.score / 3, kMaxScorePoints), why);
    }
    std::string how;
    if (LooksLikeDocumentName(p.name.empty() ? LastComponent(p.path) : p.name, how))
        Add(s, kDocumentNamePoints, how);
}

// The candidates: every remembered start, and each holder of the file, joined
// to its start when that is remembered.
std::vector<Candidate> Gather(const SuspectQuery& q) {
    std::vector<Candidate> out;
    for (const RememberedProcess& p : q.recent) {
        Candidate c;
        c.suspect.process = p;
        out.push_back(std::move(c));
    }
    for (const RememberedProcess& w : q.writers) {
        auto same = std::find_if(out.begin(), out.end(), [&](const Candidate& c) {
            const RememberedProcess& p = c.suspect.process;
            return p.pid == w.pid && (p.startedMs == 0 || w.startedMs == 0 || p.startedMs == w.startedMs);
        });
        if (same == out.end()) {
            Candidate c;
            c.suspect.process = w;
            out.push_back(std::move(c));
            same = out.end() - 1;
        }
        same->suspect.wroteDamage = true;
    }
    if (!q.holdersKnown) return out;
    for (const RememberedProcess& h : q.holders) {
        auto same = std::find_if(out.begin(), out.end(), [&](const Candidate& c) {
            const RememberedProcess& p = c.suspect.process;
            // A remembered process that ended cannot hold the file now: its pid was given again.
            return p.pid == h.pid && p.endedMs == 0 &&
                   (p.startedMs == 0 || h.startedMs == 0 || p.startedMs == h.startedMs);
        });
        if (same == out.end()) {
            Candidate c;
            c.suspect.process = h;
            c.suspect.process.endedMs = 0;
            out.push_back(std::move(c));
            same = out.end() - 1;
        }
        RememberedProcess& p = same->suspect.process;
        if (p.name.empty()) p.name = h.name;
        if (p.path.empty()) p.path = h.path;
        if (p.startedMs == 0) p.startedMs = h.startedMs;
        same->suspect.holdsFile = true;
    }
    return out;
}

// A fact beside the start time and the folder (the small score every program
// outside the Windows folder gets is not one).
bool HasSecondFact(const SuspectQuery& q, const Suspect& s) {
    if (s.holdsFile || s.wroteDamage) return true;
    if (q.suspiciousScore > 0 && s.process.score >= q.suspiciousScore) return true;
    std::string how;
    return LooksLikeDocumentName(s.process.name.empty() ? LastComponent(s.process.path) : s.process.name, how);
}

// What the memory cannot show. `named`: said beside a suspect rather than instead of one.
std::string MemoryNote(const SuspectQuery& q, bool named) {
    const std::string unseen =
        named ? ", so an older program would not show here" : ", so the program may have started before that";
    if (q.memoryStartMs == 0) return "process starts were not being remembered";
    if (q.memoryStartMs > q.damageStartMs)
        return "process starts are remembered only from " +
               DescribeDuration(q.memoryStartMs - q.damageStartMs) +
               " after the first change (when the monitor started)" + unseen;
    if (q.memoryStartMs > q.damageStartMs - kProcessMemoryMs)
        return "process starts are remembered only from " +
               DescribeDuration(q.damageStartMs - q.memoryStartMs) +
               " before the first change (when the monitor started)" + unseen;
    return "a program that started more than " + DescribeDuration(kProcessMemoryMs) +
           " before the first change is no longer remembered";
}

// The sentence itself: capital first, full stop last.
std::string Sentence(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text + ".";
}

std::string HoldersNote(const SuspectQuery& q) {
    if (!q.holdersKnown) return " The programs holding the touched file open could not be listed here.";
    return q.holders.empty() ? " No program holds the touched file open." : "";
}

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (const std::string& part : parts) out += (out.empty() ? "" : separator) + part;
    return out;
}

}  // namespace

std::string DescribeDuration(int64_t ms) {
    if (ms < 0) ms = -ms;
    if (ms < kSecondMs) return "less than a second";
    const int64_t seconds = ms / kSecondMs;
    if (seconds < 60) return std::to_string(seconds) + " s";
    const int64_t minutes = seconds / 60;
    if (minutes < 60)
        return std::to_string(minutes) + " min" +
               (seconds % 60 ? " " + std::to_string(seconds % 60) + " s" : "");
    return std::to_string(minutes / 60) + " h" +
           (minutes % 60 ? " " + std::to_string(minutes % 60) + " min" : "");
}

bool LooksLikeDocumentName(const std::wstring& name, std::string& how) {
    how.clear();
    if (name.find(L'\u202E') != std::wstring::npos) {
        how = "hides its real extension behind a right-to-left mark";
        return true;
    }
    std::string lower;
    for (wchar_t c : name) lower += c < 0x80 ? static_cast<char>(FoldChar(c)) : '?';
    const size_t dot = lower.rfind('.');
    if (dot == std::string::npos) return false;
    static const char* const kExecutable[] = {"exe", "scr", "com", "pif", "bat", "cmd"};
    const std::string extension = lower.substr(dot + 1);
    if (std::none_of(std::begin(kExecutable), std::end(kExecutable),
                     [&](const char* e) { return extension == e; }))
        return false;

    std::string stem = lower.substr(0, dot);
    while (!stem.empty() && (stem.back() == ' ' || stem.back() == '.')) stem.pop_back();
    static const char* const kDocumentExtensions[] = {
        "pdf", "doc", "docx", "docm", "xls", "xlsx", "xlsm", "ppt", "pptx", "txt", "rtf", "odt", "ods",
        "csv", "jpg", "jpeg", "png",  "gif", "zip",  "rar",  "7z",  "mp3",  "mp4", "htm", "html"};
    const size_t inner = stem.rfind('.');
    if (inner != std::string::npos) {
        const std::string hidden = stem.substr(inner + 1);
        for (const char* e : kDocumentExtensions) {
            if (hidden == e) {
                how = "hides a double extension (." + hidden + "." + extension + ")";
                return true;
            }
        }
    }

    // Words split at anything but letters and digits, and between letters and digits.
    static const char* const kDocumentWords[] = {
        "invoice",    "receipt", "payment",   "statement", "contract", "agreement",   "order",
        "scan",       "scanned", "document",  "doc",       "resume",   "cv",          "bill",
        "remittance", "quote",   "quotation", "shipment",  "shipping", "delivery",    "tax",
        "salary",     "payroll", "fax",       "voicemail", "urgent",   "confidential"};
    auto kind = [](char c) { return c >= 'a' && c <= 'z' ? 1 : c >= '0' && c <= '9' ? 2 : 0; };
    for (size_t i = 0; i < stem.size();) {
        if (kind(stem[i]) == 0) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < stem.size() && kind(stem[j]) == kind(stem[i])) ++j;
        std::string word = stem.substr(i, j - i);
        for (const char* w : kDocumentWords) {
            if (word == w || word == std::string(w) + "s") {
                how = "is named like a document (" + word + ")";
                return true;
            }
        }
        i = j;
    }
    return false;
}

SuspectRanking RankSuspects(const SuspectQuery& query) {
    std::vector<Candidate> candidates = Gather(query);
    for (Candidate& c : candidates) {
        Suspect& s = c.suspect;
        if (s.holdsFile) Add(s, kHoldsFilePoints, "holds the touched file open");
        if (s.wroteDamage) Add(s, kWroteDamagePoints, "held a damaged file open for writing");
        WeighStart(query, s);
        WeighEnd(query, s);
        WeighImage(query, s);
        WeighScoreAndName(s);
        const int64_t start = s.process.startedMs != 0 ? s.process.startedMs : s.process.seenMs;
        c.startKey = start != 0 ? start : INT64_MAX;
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.suspect.holdsFile != b.suspect.holdsFile) return a.suspect.holdsFile;
        if (a.suspect.points != b.suspect.points) return a.suspect.points > b.suspect.points;
        if (a.startKey != b.startKey) return a.startKey < b.startKey;
        return a.suspect.process.pid < b.suspect.process.pid;
    });

    SuspectRanking ranking;
    const Candidate* likeliest = candidates.empty() ? nullptr : &candidates[0];
    std::vector<Candidate> all;
    if (query.needsSecondFact) {
        all = candidates;
        likeliest = all.empty() ? nullptr : &all[0];
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [&](const Candidate& c) { return !HasSecondFact(query, c.suspect); }),
                         candidates.end());
    }
    const bool strong = !candidates.empty() && (candidates[0].suspect.holdsFile ||
                                                candidates[0].suspect.points >= kMinSuspectPoints);
    if (!strong) {
        ranking.unknown = true;
        if (!likeliest) {
            ranking.unknownWhy = "No program was seen starting in the " + DescribeDuration(kProcessMemoryMs) +
                                 " before the incident.";
        } else {
            ranking.unknownWhy = "Nothing points clearly at one program: the likeliest, " +
                                 DisplayName(likeliest->suspect.process) + ", " +
                                 Joined(likeliest->suspect.why, ", ");
            ranking.unknownWhy += query.needsSecondFact && !HasSecondFact(query, likeliest->suspect)
                                      ? ", but when a program started and where it runs from name no program alone."
                                      : ".";
        }
        ranking.unknownWhy += HoldersNote(query) + " " + Sentence(MemoryNote(query, false));
        return ranking;
    }

    for (Candidate& c : candidates) {
        if (ranking.suspects.size() == kMaxSuspects || (!c.suspect.holdsFile && c.suspect.points <= 0)) break;
        ranking.suspects.push_back(std::move(c.suspect));
    }
    // Equals are told so: their order is only that of their starts.
    std::vector<Suspect>& listed = ranking.suspects;
    for (size_t i = 0; i < listed.size(); ++i) {
        std::vector<std::string> level;
        for (size_t j = 0; j < listed.size(); ++j)
            if (j != i && listed[j].points == listed[i].points && listed[j].holdsFile == listed[i].holdsFile)
                level.push_back(DisplayName(listed[j].process));
        if (!level.empty())
            listed[i].why.push_back("is level with " + Joined(level, ", ") +
                                    " on this evidence; the earlier start is listed first");
    }
    if (query.memoryStartMs == 0 || query.memoryStartMs > query.damageStartMs - kProcessMemoryMs)
        listed[0].why.push_back(MemoryNote(query, true));
    return ranking;
}
