// incident.json text in both directions. Written by concatenation, read back
// by key scanning with the configuration's readers.
#include <cstdio>
#include <ctime>
#include <limits>
#include <utility>

#include "core/config.h"
#include "core/text.h"
#include "incidents/incident_scanner.h"
#include "incidents/incident_store.h"

std::string BuildIncidentJson(const std::string& ts, const std::string& reason, int32_t severity, bool isAdmin,
                              const std::wstring& folder, bool withFile, const std::wstring& file) {
    std::string text = "{\"ts\":\"" + ts + "\",\"product\":\"Vellumgard\",\"version\":\"Public v1\",\"reason\":\"" +
                       JsonEscape(reason) + "\",\"severity\":" + std::to_string(severity) + ",\"mode\":\"" +
                       (isAdmin ? "admin" : "lite") + "\"";
    if (!folder.empty()) text += ",\"folder\":\"" + JsonEscape(WideToUtf8(folder)) + "\"";
    if (withFile && !file.empty()) text += ",\"file\":\"" + JsonEscape(WideToUtf8(file)) + "\"";
    text += "}";
    return text;
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four hex digits at pos, or -1.
int32_t Hex4(const std::string& s, size_t pos) {
    if (s.size() < pos + 4) return -1;
    int32_t v = 0;
    for (size_t i = 0; i < 4; ++i) {
        const int h = HexValue(s[pos + i]);
        if (h < 0) return -1;
        v = v * 16 + h;
    }
    return v;
}


}  // namespace

// Like ConfigReadString, but undoes every escape JsonEscape produces: \b,
// \f and \u00XX come back as the control bytes they stood for, so a stored
// name holding control characters reads back unchanged. (The configuration's
// reader keeps \u as plain text; that is its documented rule for settings.)
std::string ReadJsonStringValue(const std::string& content, const std::string& key) {
    const std::string needle = "\"" + key + "\"";
    const size_t at = content.find(needle);
    if (at == std::string::npos) return std::string();
    size_t pos = content.find(':', at);
    if (pos == std::string::npos) return std::string();
    ++pos;
    while (pos < content.size() && (content[pos] == ' ' || content[pos] == '\t')) ++pos;
    if (pos >= content.size() || content[pos] != '"') return std::string();
    ++pos;
    std::string out;
    while (pos < content.size()) {
        const char c = content[pos];
        if (c == '"') break;
        if (c != '\\') {
            out += c;
            ++pos;
            continue;
        }
        if (pos + 1 >= content.size()) {
            out += '\\';
            break;
        }
        const char e = content[pos + 1];
        pos += 2;
        switch (e) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                int32_t cp = Hex4(content, pos);
                if (cp < 0) {
                    out += 'u';
                    break;
                }
                pos += 4;
                if (cp >= 0xD800 && cp <= 0xDBFF && content.compare(pos, 2, "\\u") == 0) {
                    const int32_t lo = Hex4(content, pos + 2);
                    if (lo >= 0xDC00 && lo <= 0xDFFF) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                        pos += 6;
                    }
                }
                if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
                AppendUtf8(out, static_cast<uint32_t>(cp));
                break;
            }
            default: out += e; break;
        }
    }
    return out;
}

IncidentSummary ParseIncidentSummary(const std::string& content) {
    IncidentSummary s;
    s.ts = ReadJsonStringValue(content, "ts");
    s.reason = ReadJsonStringValue(content, "reason");
    s.severity = ConfigReadInt(content, "severity", 0);
    s.folder = ReadJsonStringValue(content, "folder");
    s.file = ReadJsonStringValue(content, "file");
    return s;
}

bool ParseIncidentTime(const std::string& ts, int64_t& time) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(ts.c_str(), "%d-%d-%dT%d:%d:%d", &year, &month, &day, &hour, &minute, &second) != 6) return false;
    // year - 1900 and month - 1 must not overflow; no such date converts anyway.
    if (year < std::numeric_limits<int>::min() + 1900 || month == std::numeric_limits<int>::min()) return false;
    struct tm t {};
    t.tm_sec = second;
    t.tm_min = minute;
    t.tm_hour = hour;
    t.tm_mday = day;
    t.tm_mon = month - 1;
    t.tm_year = year - 1900;
    t.tm_isdst = -1;
#ifdef _WIN32
    const int64_t result = _mktime64(&t);
#else
    // Like the Windows runtime, which converts nothing before 1970.
    int64_t result = static_cast<int64_t>(mktime(&t));
    if (result < 0) result = -1;
#endif
    time = result;
    return result != -1;
}

// The order of a plain exchange sort (for each i, swap in every later record
// that is strictly newer), with each time stamp parsed once instead of at
// every comparison. Unparsable stamps count as time 0.
void SortIncidentsNewestFirst(std::vector<IncidentSummary>& list) {
    std::vector<int64_t> times(list.size(), 0);
    for (size_t i = 0; i < list.size(); ++i) {
        int64_t t = 0;
        if (!ParseIncidentTime(list[i].ts, t)) t = 0;
        times[i] = t;
    }
    const size_t n = list.size();
    for (size_t i = 0; i + 1 < n; ++i) {
        for (size_t j = i + 1; j < n; ++j) {
            if (times[j] > times[i]) {
                std::swap(times[i], times[j]);
                std::swap(list[i], list[j]);
            }
        }
    }
}
