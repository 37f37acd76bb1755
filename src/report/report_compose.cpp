#include "report/report_compose.h"

#include <cstdint>
#include <cstring>

#include "core/event_log.h"
#include "core/text.h"
#include "report/incident_explanations.h"

namespace {

// Once this many lines are held, the oldest kLogTailDrop go.
constexpr size_t kLogTailHold = 600;
constexpr size_t kLogTailDrop = 200;

void AppendTailLine(LogTailCollector& c, std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    c.lines.push_back(std::move(line));
    if (c.lines.size() > kLogTailHold) c.lines.erase(c.lines.begin(), c.lines.begin() + kLogTailDrop);
}

const char kStyleSheet[] =
    ":root{--bg:#070b14;--card:#0d1626;--border:#1c2a3a;--text:#eef3fb;--muted:#a8b6cc;--accent:#4fb7ff;"
    "--accent2:#7ad1ff;--shadow:0 10px 30px rgba(0,0,0,.35);} \n"
    "*{box-sizing:border-box}\n"
    "body{font-family:system-ui,Segoe UI,Arial,sans-serif;margin:0;padding:24px;background:"
    "radial-gradient(1200px 650px at 20% 0%, rgba(79,183,255,.18), transparent 60%),"
    "radial-gradient(900px 520px at 80% 20%, rgba(122,209,255,.12), transparent 55%),"
    "var(--bg);color:var(--text);} \n"
    "a{color:var(--accent2);text-decoration:none}a:hover{text-decoration:underline}\n"
    ".wrap{max-width:1100px;margin:0 auto;}\n"
    ".title{display:flex;justify-content:space-between;align-items:flex-start;gap:12px;flex-wrap:wrap;}\n"
    "h1{font-size:28px;margin:0;letter-spacing:.2px}\n"
    ".sub{color:var(--muted);font-size:12px;}\n"
    ".card{background:linear-gradient(180deg, rgba(255,255,255,.03), rgba(255,255,255,.01));border:1px solid "
    "var(--border);border-radius:16px;padding:14px 16px;margin-top:12px;box-shadow:var(--shadow);} \n"
    ".k{color:var(--muted);font-size:11px;text-transform:uppercase;letter-spacing:.12em;}\n"
    ".v{font-size:16px;font-weight:700;margin-top:4px;}\n"
    ".grid{display:grid;grid-template-columns:repeat(3,minmax(0,1fr));gap:12px;margin-top:12px;}\n"
    "@media (max-width:900px){.grid{grid-template-columns:1fr}}\n"
    "pre{background:rgba(0,0,0,.35);border:1px solid rgba(255,255,255,.06);border-radius:12px;padding:10px;"
    "overflow-x:auto;font-size:11px;line-height:1.45;}\n"
    "code{font-family:ui-monospace,Menlo,Consolas,monospace;font-size:11px;}\n"
    ".badge{display:inline-block;padding:4px 10px;border-radius:999px;font-size:12px;font-weight:900;"
    "border:1px solid var(--border);background:rgba(255,255,255,.02);} \n"
    ".badge.ok{border-color:rgba(79,183,255,.35);background:rgba(79,183,255,.10);color:#cfefff;}\n"
    ".badge.low{border-color:rgba(169,184,204,.25);background:rgba(255,255,255,.02);color:#cbd6e6;}\n"
    ".badge.med{border-color:rgba(255,154,42,.45);background:rgba(255,154,42,.08);color:#ffd6a1;}\n"
    ".badge.high{border-color:rgba(255,59,59,.45);background:rgba(255,59,59,.12);color:#ffd0d0;}\n"
    ".badge.critical{border-color:rgba(255,15,30,.60);background:rgba(255,15,30,.16);color:#ffe0e0;}\n"
    ".icard{margin-top:10px;}\n"
    ".ititle{display:flex;align-items:center;justify-content:space-between;gap:10px;flex-wrap:wrap;}\n"
    ".ititle h3{margin:0;font-size:16px;}\n"
    ".small{color:var(--muted);font-size:12px;}\n"
    ".steps{margin:10px 0 0 18px;padding:0;}\n"
    ".steps li{margin:6px 0;color:#d8e2f0;line-height:1.45;}\n"
    ".kv{margin-top:8px;display:grid;grid-template-columns:160px 1fr;gap:6px 10px;}\n"
    ".kv .k{color:var(--muted);font-size:11px;text-transform:uppercase;letter-spacing:.12em;}\n"
    ".kv .v{font-size:12px;font-weight:500;}\n"
    "details{margin-top:10px;}\n"
    "summary{cursor:pointer;color:#d9e6f7;font-size:12px;}\n";

const char kNoIncidentsLine[] =
    "<div class=\"small\" style=\"margin-top:10px;\">No incidents recorded in the last 24 hours.</div>\n";

void AppendIncidentCard(std::string& out, const IncidentSummary& inc, const LikelySource* source) {
    const SeverityBandInfo band = SeverityBand(inc.severity);
    out +=
        "<div class=\"card icard\" style=\"background:rgba(0,0,0,.18); "
        "border-color:rgba(255,255,255,.06);\">\n";
    out += "<div class=\"ititle\">\n";
    out += "<h3>" + HtmlEscape(IncidentTitle(inc.reason)) + "</h3>\n";
    out += "<span class=\"badge ";
    out += band.styleClass;
    out += "\">";
    out += band.label;
    out += " (" + std::to_string(inc.severity) + ")</span>\n";
    out += "</div>\n";
    out += "<div class=\"small\" style=\"margin-top:6px;\">Time: " + HtmlEscape(inc.ts) + "</div>\n";
    const std::string location = IncidentLocation(inc);
    if (!location.empty()) {
        out += "<div class=\"small\" style=\"margin-top:6px;\">Location: <code>" + HtmlEscape(location) +
               "</code></div>\n";
    }
    out += "<div class=\"small\" style=\"margin-top:10px;\"><b>What we saw:</b> " +
           HtmlEscape(IncidentDescription(inc)) + "</div>\n";
    out += "<div class=\"small\" style=\"margin-top:6px;\"><b>What you can do now:</b> " +
           HtmlEscape(IncidentAdvice(inc)) + "</div>\n";
    out += "<details>\n<summary>Show technical details</summary>\n<div class=\"kv\">\n";
    out += "<div class=\"k\">Reason</div><div class=\"v\">" + HtmlEscape(inc.reason) + "</div>\n";
    if (!inc.folder.empty())
        out += "<div class=\"k\">Folder</div><div class=\"v\">" + HtmlEscape(inc.folder) + "</div>\n";
    if (!inc.file.empty())
        out += "<div class=\"k\">File</div><div class=\"v\">" + HtmlEscape(inc.file) + "</div>\n";
    if (source)
        out += "<div class=\"k\">Likely source</div><div class=\"v\">" +
               HtmlEscape(LikelySourceText(*source)) + "</div>\n";
    out += "</div>\n</details>\n</div>\n";
}

// A reader just large enough for context.json: strings (escapes and
// surrogate pairs decoded), and any other value skipped. Depth is bounded, so
// hostile input costs at most its length.
struct JsonCursor {
    const std::string& text;
    size_t at = 0;
    bool ok = true;
};

constexpr int kMaxJsonDepth = 16;

void SkipSpace(JsonCursor& c) {
    while (c.at < c.text.size() &&
           (c.text[c.at] == ' ' || c.text[c.at] == '\t' || c.text[c.at] == '\n' || c.text[c.at] == '\r'))
        ++c.at;
}

bool Take(JsonCursor& c, char ch) {
    SkipSpace(c);
    if (c.at < c.text.size() && c.text[c.at] == ch) {
        ++c.at;
        return true;
    }
    return false;
}

bool ReadHex4(JsonCursor& c, uint32_t& value) {
    if (c.text.size() - c.at < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
        const char h = c.text[c.at++];
        value <<= 4;
        if (h >= '0' && h <= '9')
            value |= static_cast<uint32_t>(h - '0');
        else if (h >= 'a' && h <= 'f')
            value |= static_cast<uint32_t>(h - 'a' + 10);
        else if (h >= 'A' && h <= 'F')
            value |= static_cast<uint32_t>(h - 'A' + 10);
        else
            return false;
    }
    return true;
}

bool ReadString(JsonCursor& c, std::string& out) {
    out.clear();
    if (!Take(c, '"')) return c.ok = false;
    while (c.at < c.text.size()) {
        const char ch = c.text[c.at++];
        if (ch == '"') return true;
        if (ch != '\\') {
            out += ch;
            continue;
        }
        if (c.at >= c.text.size()) break;
        const char e = c.text[c.at++];
        switch (e) {
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                uint32_t unit = 0;
                if (!ReadHex4(c, unit)) return c.ok = false;
                if (unit >= 0xD800 && unit <= 0xDBFF && c.text.compare(c.at, 2, "\\u") == 0) {
                    const size_t back = c.at;
                    c.at += 2;
                    uint32_t low = 0;
                    if (ReadHex4(c, low) && low >= 0xDC00 && low <= 0xDFFF) {
                        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    } else {
                        c.at = back;
                    }
                }
                AppendUtf8(out, unit);
                break;
            }
            default:
                out += e;  // \" \\ \/
        }
    }
    return c.ok = false;
}

bool SkipValue(JsonCursor& c, int depth) {
    SkipSpace(c);
    if (c.at >= c.text.size() || depth > kMaxJsonDepth) return c.ok = false;
    std::string scratch;
    const char ch = c.text[c.at];
    if (ch == '"') return ReadString(c, scratch);
    if (ch == '{' || ch == '[') {
        const char close = ch == '{' ? '}' : ']';
        ++c.at;
        if (Take(c, close)) return true;
        do {
            if (ch == '{' && !(ReadString(c, scratch) && Take(c, ':'))) return c.ok = false;
            if (!SkipValue(c, depth + 1)) return false;
        } while (Take(c, ','));
        return Take(c, close) || (c.ok = false);
    }
    // A number, true, false or null: the run of characters that can make one.
    const size_t start = c.at;
    while (c.at < c.text.size() && std::strchr("+-.0123456789eEtruefalsn", c.text[c.at]) && c.text[c.at])
        ++c.at;
    return c.at > start || (c.ok = false);
}

// Calls member(key) for each member of an object; member reads or skips the value.
template <typename MemberFn>
bool ReadObject(JsonCursor& c, MemberFn member) {
    if (!Take(c, '{')) return c.ok = false;
    if (Take(c, '}')) return true;
    std::string key;
    do {
        if (!(ReadString(c, key) && Take(c, ':') && member(key))) return c.ok = false;
    } while (Take(c, ','));
    return Take(c, '}') || (c.ok = false);
}

bool ReadStringArray(JsonCursor& c, std::vector<std::string>& out) {
    out.clear();
    if (!Take(c, '[')) return c.ok = false;
    if (Take(c, ']')) return true;
    std::string item;
    do {
        if (!ReadString(c, item)) return false;
        out.push_back(item);
    } while (Take(c, ','));
    return Take(c, ']') || (c.ok = false);
}

// "<code>Vellumgard.log.jsonl</code>", or both files of a tail that spans two.
std::string LogTailSourceHtml(const std::vector<std::string>& files) {
    bool named = !files.empty();
    for (const std::string& f : files) named = named && !f.empty();
    if (!named) return "<code>Vellumgard.log.jsonl</code>";
    std::string out;
    for (size_t i = 0; i < files.size(); ++i) {
        if (i) out += i + 1 == files.size() ? " and " : ", ";
        out += "<code>" + HtmlEscape(files[i]) + "</code>";
    }
    return out;
}

void AppendPathEntry(std::string& out, const char* label, const std::string& path) {
    out += "<div><div class=\"k\">";
    out += label;
    out += "</div><div class=\"small\"><code>" + HtmlEscape(path) + "</code></div></div>\n";
}

}  // namespace

std::string HtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "&quot;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '\'':
                out += "&#39;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void FeedLogTail(LogTailCollector& c, const char* data, size_t size) {
    const char* p = data;
    const char* end = data + size;
    while (p < end) {
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!lf) {
            c.partial.append(p, end);
            return;
        }
        if (c.partial.empty()) {
            AppendTailLine(c, std::string(p, lf));
        } else {
            c.partial.append(p, lf);
            AppendTailLine(c, std::move(c.partial));
            c.partial.clear();
        }
        p = lf + 1;
    }
}

std::vector<std::string> FinishLogTail(LogTailCollector& c) {
    if (!c.partial.empty()) {
        AppendTailLine(c, std::move(c.partial));
        c.partial.clear();
    }
    std::vector<std::string> tail = std::move(c.lines);
    c.lines.clear();
    if (tail.size() > kLogTailLines) tail.erase(tail.begin(), tail.end() - kLogTailLines);
    return tail;
}

std::string IncidentLocation(const IncidentSummary& incident) {
    std::string location = incident.folder;
    if (!incident.file.empty()) {
        if (!location.empty() && location.back() != '\\' && location.back() != '/') location += '\\';
        location += incident.file;
    }
    return location;
}

bool ParseLikelySource(const std::string& contextJson, LikelySource& source) {
    JsonCursor c{contextJson};
    bool unknown = false, sawUnknown = false, haveTop = false;
    std::string unknownWhy;
    LikelySource top;
    const bool parsed = ReadObject(c, [&](const std::string& key) {
        if (key == "unknown") {
            SkipSpace(c);
            sawUnknown = true;
            unknown = c.text.compare(c.at, 4, "true") == 0;
            return SkipValue(c, 1);
        }
        if (key == "why") return ReadString(c, unknownWhy);
        if (key != "suspects") return SkipValue(c, 1);
        if (!Take(c, '[')) return c.ok = false;
        if (Take(c, ']')) return true;
        do {
            if (haveTop) {
                if (!SkipValue(c, 2)) return false;
                continue;
            }
            const bool read = ReadObject(c, [&](const std::string& k) {
                if (k == "name") return ReadString(c, top.name);
                if (k == "path") return ReadString(c, top.path);
                if (k == "why") return ReadStringArray(c, top.why);
                return SkipValue(c, 3);
            });
            if (!read) return false;
            haveTop = true;
        } while (Take(c, ','));
        return Take(c, ']') || (c.ok = false);
    });
    SkipSpace(c);
    if (!parsed || !c.ok || c.at != contextJson.size() || !sawUnknown) return false;
    if (unknown || !haveTop) {
        if (!unknown) return false;  // neither a suspect nor "unknown": not a context we wrote
        source = LikelySource();
        source.unknown = true;
        if (!unknownWhy.empty()) source.why.push_back(unknownWhy);
        return true;
    }
    if (top.name.empty() && top.path.empty()) return false;
    source = top;
    return true;
}

std::string LikelySourceText(const LikelySource& source) {
    std::string text;
    if (source.unknown) {
        text = "unknown";
    } else {
        text = source.name.empty() ? source.path : source.name;
        if (!source.name.empty() && !source.path.empty()) text += " (" + source.path + ")";
    }
    for (size_t i = 0; i < source.why.size(); ++i) text += (i ? "; " : ": ") + source.why[i];
    return text;
}

std::string ComposeReport(const ReportInputs& in) {
    // Each incident counts in exactly one band (the bands of SeverityBand).
    int32_t critical = 0, high = 0, medium = 0, low = 0;
    for (const IncidentSummary& inc : in.incidents) {
        int32_t& counter = inc.severity >= 90   ? critical
                           : inc.severity >= 80 ? high
                           : inc.severity >= 50 ? medium
                                                : low;
        ++counter;
    }
    const char* statusLabel = "All clear";
    const char* statusClass = "ok";
    if (critical > 0) {
        statusLabel = "Critical alerts";
        statusClass = "critical";
    } else if (high > 0) {
        statusLabel = "Attention needed";
        statusClass = "high";
    } else if (medium > 0) {
        statusLabel = "Warnings";
        statusClass = "med";
    }

    IncidentSummary top;
    const bool haveTop = TopIncident(in.incidents, top);
    const std::string cause = haveTop ? LikelyCause(top.reason) : std::string();
    const std::string steps = haveTop ? IncidentStepsHtml(top) : GeneralStepsHtml();

    size_t logBytes = 0;
    for (const std::string& line : in.logTail) logBytes += line.size() + 1;
    std::string out;
    out.reserve(8192 + in.incidents.size() * 2048 + logBytes + logBytes / 4);

    out += "<!doctype html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n";
    out += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n";
    out += "<title>Vellumgard Local Report</title>\n<style>\n";
    out += kStyleSheet;
    out += "</style>\n</head>\n<body>\n<div class=\"wrap\">\n";

    out += "<div class=\"title\">\n<div>\n<h1>Vellumgard Local Report</h1>\n";
    out += "<div class=\"sub\">Generated: " + HtmlEscape(in.generated) +
           " &nbsp; Version: " + HtmlEscape(kVersionText) +
           " &nbsp; Mode: " + (in.isAdmin ? "Elevated (admin)" : "Lite (non-admin)") + "</div>\n";
    out += "</div>\n</div>\n";

    out += "<div class=\"card\">\n<div class=\"k\">Security status (last 24 hours)</div>\n";
    out += "<div style=\"margin-top:10px;display:flex;align-items:center;gap:10px;flex-wrap:wrap;\">\n";
    out += "<span class=\"badge ";
    out += statusClass;
    out += "\">" + HtmlEscape(statusLabel) + "</span>\n";
    out += "<span class=\"small\">Critical: " + std::to_string(critical) +
           " &nbsp; High: " + std::to_string(high) + " &nbsp; Medium: " + std::to_string(medium) +
           " &nbsp; Low: " + std::to_string(low) + "</span>\n";
    out += "</div>\n";
    out +=
        "<div class=\"small\" style=\"margin-top:8px;\">"
        "Tip: Vellumgard is a local-first behavior guard (canaries, file bursts, suspicious processes). "
        "It can run alongside antivirus.</div>\n";
    if (haveTop) {
        out += "<div class=\"small\" style=\"margin-top:10px;\"><b>Most likely cause:</b> " +
               HtmlEscape(cause) + "</div>\n";
    } else {
        out += kNoIncidentsLine;
    }
    out += "<div class=\"small\" style=\"margin-top:10px;\"><b>Recommended next steps:</b></div>\n";
    out += steps;
    out += "\n</div>\n";

    out += "<div class=\"card\">\n<div class=\"k\">Incidents (last 24 hours)</div>\n";
    if (in.incidents.empty()) out += kNoIncidentsLine;
    for (const IncidentSummary& inc : in.incidents) {
        const auto source =
            inc.incidentFolder.empty() ? in.likelySources.end() : in.likelySources.find(inc.incidentFolder);
        AppendIncidentCard(out, inc, source == in.likelySources.end() ? nullptr : &source->second);
    }
    out += "</div>\n";

    out += "<div class=\"card\">\n<div class=\"k\">Paths</div>\n<div class=\"grid\">\n";
    AppendPathEntry(out, "Data directory", in.dataDir);
    AppendPathEntry(out, "Log file", in.logFile);
    AppendPathEntry(out, "Config file", in.configFile);
    out += "</div>\n</div>\n";

    out += "<div class=\"card\">\n<div class=\"k\">Recent log lines</div>\n";
    if (in.logTail.empty()) {
        out += "<div class=\"sub\">No log entries yet.</div>\n";
    } else {
        out += "<details>\n<summary>Show last 200 lines</summary>\n";
        out += "<div class=\"sub\" style=\"margin-top:6px;\">From " + LogTailSourceHtml(in.logTailFiles) +
               "</div>\n";
        out += "<pre>";
        for (const std::string& line : in.logTail) {
            out += HtmlEscape(line);
            out += '\n';
        }
        out += "</pre>\n</details>\n";
    }
    out += "</div>\n";

    out += "<div class=\"card\">\n<div class=\"k\">Note</div>\n<div class=\"sub\">";
    out +=
        "This is a local report. For deeper analysis, you can share "
        "<code>Vellumgard.log.jsonl</code> and relevant incident folders under "
        "<code>Incidents</code> with a security professional. "
        "Review for sensitive data before sharing.";
    out += "</div>\n</div>\n";
    out += "</div></body></html>\n";
    return out;
}
