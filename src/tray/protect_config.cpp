#include "tray/protect_config.h"

#include "core/config.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where the key reader takes the value from, as in core/config_scan.cpp.
size_t ValueAt(const std::string& content, const std::string& key) {
    const size_t at = content.find("\"" + key + "\"");
    if (at == std::string::npos) return std::string::npos;
    size_t pos = content.find(':', at + key.size() + 2);
    if (pos == std::string::npos) return std::string::npos;
    ++pos;
    while (pos < content.size() && (content[pos] == ' ' || content[pos] == '\t')) ++pos;
    return pos;
}

// The end of the value starting at pos: a quoted string (escapes included),
// or a run up to the next separator.
size_t ValueEnd(const std::string& content, size_t pos) {
    if (pos < content.size() && content[pos] == '"') {
        for (size_t i = pos + 1; i < content.size(); ++i) {
            if (content[i] == '\\') {
                ++i;
            } else if (content[i] == '"') {
                return i + 1;
            }
        }
        return content.size();
    }
    size_t end = pos;
    while (end < content.size() && content[end] != ',' && content[end] != '}' && !IsBlank(content[end]))
        ++end;
    return end;
}

}  // namespace

bool SetConfigKeyTrue(const std::string& content, const std::string& key, std::string& out) {
    bool blank = true;
    for (char c : content) blank = blank && IsBlank(c);
    const std::string& text = blank ? DefaultConfigText() : content;

    const size_t value = ValueAt(text, key);
    if (value != std::string::npos) {
        out = text.substr(0, value) + "true" + text.substr(ValueEnd(text, value));
        return true;
    }
    const size_t close = text.rfind('}');
    if (close == std::string::npos) return false;
    size_t last = close;
    while (last > 0 && IsBlank(text[last - 1])) --last;
    const bool crlf = text.find("\r\n") != std::string::npos;
    const std::string eol = crlf ? "\r\n" : "\n";
    const bool empty = last == 0 || text[last - 1] == '{';
    // After the last member (a comma if it has none), then the new one on its own line.
    std::string insert = (empty || text[last - 1] == ',' ? "" : ",") + eol + "  \"" + key + "\": true";
    if (last == close) insert += eol;  // the brace stood right after the last member
    out = text.substr(0, last) + insert + text.substr(last);
    return true;
}

bool AddProtectSettings(const std::string& content, std::string& out) {
    std::string text = content;
    for (const char* key : kProtectKeys) {
        std::string next;
        if (!SetConfigKeyTrue(text, key, next)) return false;
        text.swap(next);
    }
    out.swap(text);
    return true;
}
