// The process scorers' fragment, "score":N[,"signals":[...]], read back as
// one JSON object: the score is the returned one, signals are distinct
// strings, and no signals means a score of 0. Returns the parsed object.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "fuzz_support.h"

inline nlohmann::json CheckScoreFragment(const std::string& fragment, int32_t score) {
    FUZZ_CHECK(score >= 0);
    const nlohmann::json parsed = nlohmann::json::parse("{" + fragment + "}", nullptr, false);
    FUZZ_CHECK(!parsed.is_discarded() && parsed.is_object());
    FUZZ_CHECK(parsed.at("score").is_number_integer() && parsed.at("score").get<int64_t>() == score);
    FUZZ_CHECK(parsed.size() == (parsed.contains("signals") ? 2u : 1u));
    if (parsed.contains("signals")) {
        std::set<std::string> seen;
        for (const auto& s : parsed.at("signals")) {
            FUZZ_CHECK(s.is_string());
            FUZZ_CHECK(seen.insert(s.get<std::string>()).second);
        }
    } else {
        FUZZ_CHECK(score == 0);
    }
    return parsed;
}
