// HtmlEscape on arbitrary bytes: no raw < > " ' is left, every & starts one
// of the five entities, and decoding them gives the input back. Also the
// report's log-tail collector fed in chunks of varying size.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "report/report_compose.h"

namespace {

const char* const kEntities[][2] = {{"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}};

std::string Unescape(const std::string& out) {
    std::string back;
    for (size_t i = 0; i < out.size();) {
        const char c = out[i];
        FUZZ_CHECK(c != '<' && c != '>' && c != '"' && c != '\'');
        if (c != '&') {
            back += c;
            ++i;
            continue;
        }
        bool known = false;
        for (const auto& e : kEntities) {
            const std::string entity = e[0];
            if (out.compare(i, entity.size(), entity) == 0) {
                back += e[1];
                i += entity.size();
                known = true;
                break;
            }
        }
        FUZZ_CHECK(known);
    }
    return back;
}

// The last 200 lines by a plain split (LF ends a line, one CR before it goes).
std::vector<std::string> ReferenceTail(const std::string& text) {
    std::vector<std::string> lines;
    size_t from = 0;
    while (from < text.size()) {
        size_t lf = text.find('\n', from);
        const size_t end = lf == std::string::npos ? text.size() : lf;
        std::string line = text.substr(from, end - from);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        from = end + 1;
    }
    if (lines.size() > kLogTailLines) lines.erase(lines.begin(), lines.end() - kLogTailLines);
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in = BytesOf(data, size);
    FUZZ_CHECK(Unescape(HtmlEscape(in)) == in);

    if (size == 0) return 0;
    // Chunk size from the first byte; the rest is the log.
    const size_t chunk = static_cast<size_t>(data[0] % 17) + 1;
    const std::string log = in.substr(1);
    LogTailCollector collector;
    for (size_t at = 0; at < log.size(); at += chunk)
        FeedLogTail(collector, log.data() + at, std::min(chunk, log.size() - at));
    FUZZ_CHECK(FinishLogTail(collector) == ReferenceTail(log));
    return 0;
}
