#include "support/test_support.h"

#include <nlohmann/json.hpp>

#include "core/seams.h"

int64_t FakeClock::seconds = 1700000000;
LocalTimeParts FakeClock::local{2026, 3, 14, 9, 26, 53};
uint32_t FakeClock::tick = 842;

FakeClock::FakeClock() {
    gSeams.nowSeconds = [] { return seconds; };
    gSeams.localTime = [] { return local; };
    gSeams.tickCount = [] { return tick; };
}

FakeClock::~FakeClock() {
    gSeams.nowSeconds = nullptr;
    gSeams.localTime = nullptr;
    gSeams.tickCount = nullptr;
}

std::vector<std::string> SplitLines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t lf = bytes.find('\n', start);
        if (lf == std::string::npos) {
            lines.push_back(bytes.substr(start));
            break;
        }
        lines.push_back(bytes.substr(start, lf - start));
        start = lf + 1;
    }
    return lines;
}

bool IsValidJson(const std::string& text) { return nlohmann::json::accept(text); }
