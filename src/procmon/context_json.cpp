#include "procmon/context_json.h"

#include <algorithm>

#include "core/text.h"

namespace {

std::string Quoted(const std::string& utf8) {
    return "\"" + JsonEscape(utf8) + "\"";
}
std::string Quoted(const std::wstring& wide) {
    return Quoted(WideToUtf8(wide));
}

std::string TimeText(int64_t ms, FormatTimeFn formatTime) {
    return ms > 0 && formatTime ? Quoted(formatTime(ms)) : std::string("\"\"");
}

void AppendSuspect(std::string& out, size_t rank, const Suspect& s, FormatTimeFn formatTime) {
    const RememberedProcess& p = s.process;
    out += "{\"rank\":" + std::to_string(rank);
    out += ",\"name\":" + Quoted(p.name);
    out += ",\"pid\":" + std::to_string(p.pid);
    out += ",\"path\":" + Quoted(p.path);
    out += ",\"commandLine\":" + Quoted(p.commandLine);
    out += ",\"started\":" + TimeText(p.startedMs, formatTime);
    out += ",\"ended\":" + TimeText(p.endedMs, formatTime);
    out += ",\"score\":" + std::to_string(p.score);
    out += ",\"points\":" + std::to_string(s.points);
    out += ",\"holdsFile\":";
    out += s.holdsFile ? "true" : "false";
    out += ",\"why\":[";
    for (size_t i = 0; i < s.why.size(); ++i) {
        if (i) out += ',';
        out += Quoted(s.why[i]);
    }
    out += "]}";
}

wchar_t FoldAscii(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c;
}

bool SameFolder(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return FoldAscii(x) == FoldAscii(y);
           });
}

}  // namespace

std::string BuildContextJson(const std::string& incidentName, bool holdersKnown,
                             const SuspectRanking& ranking, FormatTimeFn formatTime) {
    const bool unknown = ranking.unknown || ranking.suspects.empty();
    std::string out = "{\"incident\":" + Quoted(incidentName);
    out += ",\"unknown\":";
    out += unknown ? "true" : "false";
    out += ",\"why\":" + Quoted(unknown ? ranking.unknownWhy : std::string());
    out += ",\"holdersKnown\":";
    out += holdersKnown ? "true" : "false";
    out += ",\"suspects\":[";
    // "No suspect is better than a wrong one": an unknown ranking lists nobody.
    const size_t n = unknown ? 0 : std::min(ranking.suspects.size(), kContextSuspects);
    for (size_t i = 0; i < n; ++i) {
        if (i) out += ',';
        AppendSuspect(out, i + 1, ranking.suspects[i], formatTime);
    }
    out += "]}\n";
    return out;
}

std::string IncidentContextMembers(const std::string& incidentName, const SuspectRanking& ranking) {
    std::string out = "\"incident\":" + Quoted(incidentName);
    if (ranking.unknown || ranking.suspects.empty())
        return out + ",\"unknown\":true,\"why\":" + Quoted(ranking.unknownWhy);
    const RememberedProcess& top = ranking.suspects.front().process;
    return out + ",\"name\":" + Quoted(top.name) + ",\"pid\":" + std::to_string(top.pid) +
           ",\"path\":" + Quoted(top.path);
}

std::string IncidentContextErrorMembers(const std::string& incidentName, const std::string& why) {
    return "\"incident\":" + Quoted(incidentName) + ",\"error\":" + Quoted(why);
}

int64_t DamageStartMs(const std::string& reason, int64_t incidentMs, int32_t burstWindowSeconds) {
    if (reason == "file_burst") {
        const int64_t window = burstWindowSeconds > 0 ? burstWindowSeconds : 30;
        return incidentMs - window * 1000;
    }
    if (reason == "encrypted_content") return incidentMs - 60 * 1000;
    if (reason == "mass_rename") return incidentMs - 60 * 1000;  // the files of the run came within a minute
    return incidentMs;
}

std::wstring LastPathComponent(const std::wstring& path) {
    std::wstring trimmed = path;
    while (!trimmed.empty() && (trimmed.back() == L'\\' || trimmed.back() == L'/')) trimmed.pop_back();
    const size_t sep = trimmed.find_last_of(L"\\/");
    return sep == std::wstring::npos ? trimmed : trimmed.substr(sep + 1);
}

std::vector<std::wstring> UserWritableFolders(const std::vector<std::wstring>& candidates) {
    std::vector<std::wstring> out;
    for (std::wstring folder : candidates) {
        while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
        if (folder.empty()) continue;
        if (std::none_of(out.begin(), out.end(),
                         [&](const std::wstring& f) { return SameFolder(f, folder); }))
            out.push_back(folder);
    }
    return out;
}
