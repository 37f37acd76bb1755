#include "procmon/pause_records.h"

#include "core/text.h"

namespace {

constexpr const char kPausedListHeader[] = "vellumgard-paused 1";

std::string Field(std::string text) {
    for (char& c : text)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return text;
}

// A whole decimal number from 1 up to the 63-bit range; false otherwise.
bool ParsePositive(const std::string& text, int64_t& out) {
    if (text.empty() || text.size() > 18) return false;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value <= 0) return false;
    out = value;
    return true;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        parts.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return parts;
        start = tab + 1;
    }
}

}  // namespace

std::string ResponseMembers(const ResponseRecord& r) {
    std::string out = "\"action\":\"" + JsonEscape(r.action) + "\",\"pid\":" + std::to_string(r.pid) +
                      ",\"image\":\"" + JsonEscape(WideToUtf8(r.image)) + "\",\"evidence\":\"" +
                      JsonEscape(r.evidence) + "\"";
    if (!r.incident.empty()) out += ",\"incident\":\"" + JsonEscape(r.incident) + "\"";
    return out;
}

std::string BuildResponseJson(const std::string& incident, const std::vector<ResponseRecord>& records) {
    std::string out = "{\"incident\":\"" + JsonEscape(incident) + "\",\"responses\":[";
    for (size_t i = 0; i < records.size(); ++i) out += (i ? ",{" : "{") + ResponseMembers(records[i]) + "}";
    return out + "]}\n";
}

std::string FormatPausedList(const std::vector<PausedProgram>& programs) {
    std::string out = std::string(kPausedListHeader) + "\n";
    for (const PausedProgram& p : programs)
        out += std::to_string(p.pid) + "\t" + std::to_string(p.startedMs) + "\t" +
               std::to_string(p.pausedMs) + "\t" + Field(WideToUtf8(p.path)) + "\t" + Field(p.evidence) +
               "\t" + Field(p.incident) + "\n";
    return out;
}

std::vector<PausedProgram> ParsePausedList(const std::string& text) {
    std::vector<PausedProgram> out;
    size_t start = 0;
    bool first = true;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (first) {
            if (line != kPausedListHeader) return out;
            first = false;
            continue;
        }
        const std::vector<std::string> f = SplitTabs(line);
        int64_t pid = 0, started = 0, paused = 0;
        if (f.size() != 6 || !ParsePositive(f[0], pid) || pid > INT32_MAX || !ParsePositive(f[1], started) ||
            !ParsePositive(f[2], paused))
            continue;
        PausedProgram p;
        p.pid = static_cast<int32_t>(pid);
        p.startedMs = started;
        p.pausedMs = paused;
        p.path = Utf8ToWide(f[3]);
        p.evidence = f[4];
        p.incident = f[5];
        out.push_back(std::move(p));
    }
    return out;
}
