#include "procmon/process_events.h"

#include "core/text.h"
#include "procmon/extended_process_rules.h"

std::string BuildProcStartMembers(const ProcessInfo& info) {
    std::string out;
    out += "\"name\":\"" + JsonEscape(WideToUtf8(info.name)) + "\"";
    out += ",\"pid\":" + std::to_string(info.pid);
    out += ",\"path\":\"" + JsonEscape(WideToUtf8(info.path)) + "\"";
    out += ",\"cmd\":\"" + JsonEscape(WideToUtf8(info.commandLine)) + "\"";
    return out;
}

std::string BuildClaimedNameMembers(const ProcessInfo& info) {
    if (!ClaimsOtherName(info.name, info.originalFileName) && !ClaimsOtherName(info.name, info.internalName))
        return std::string();
    return ",\"originalFileName\":\"" + JsonEscape(WideToUtf8(info.originalFileName)) +
           "\",\"internalName\":\"" + JsonEscape(WideToUtf8(info.internalName)) + "\"";
}

int32_t EffectiveScoreThreshold(int32_t configured) {
    return configured > 0 ? configured : 60;
}

int32_t SeverityForScore(int32_t score) {
    if (score >= 90) return 90;
    if (score >= 80) return 75;
    if (score >= 70) return 60;
    return 50;
}
