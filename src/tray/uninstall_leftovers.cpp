#include "tray/uninstall_leftovers.h"

#include "core/config.h"
#include "core/text.h"
#include "fsmon/canary_names.h"
#include "fsmon/file_name_heuristics.h"
#include "fsmon/watch_dirs.h"

namespace {

std::wstring Indented(const std::vector<std::wstring>& lines) {
    std::wstring text;
    for (const std::wstring& line : lines) text += L"\n  " + line;
    return text;
}

}  // namespace

std::vector<PausedProgram> StillPausedPrograms(const std::vector<PausedProgram>& listed,
                                               const std::vector<int64_t>& creationNow) {
    std::vector<PausedProgram> still;
    for (size_t i = 0; i < listed.size() && i < creationNow.size(); ++i) {
        const PausedProgram& p = listed[i];
        if (p.pid <= 0 || p.startedMs <= 0 || creationNow[i] != p.startedMs) continue;
        bool repeated = false;
        for (const PausedProgram& q : still)
            repeated = repeated || (q.pid == p.pid && q.startedMs == p.startedMs);
        if (!repeated) still.push_back(p);
    }
    return still;
}

StepResult PurgeGate(bool purge, bool dataDirExists, bool agentsUseIt, size_t stillPaused) {
    if (!dataDirExists) return StepResult::Absent;
    if (!purge) return StepResult::Kept;
    if (agentsUseIt) return StepResult::InUse;
    if (stillPaused > 0) return StepResult::ProgramsPaused;
    return StepResult::Done;
}

CanarySearch CanarySearchFromConfig(const std::string& configContent) {
    const std::string& content = configContent.empty() ? DefaultConfigText() : configContent;
    CanarySearch search;
    CanaryNameList names =
        CanaryNamesFromSetting(Utf8ToWide(ConfigReadString(content, "canaryFileNames", "")));
    // What an earlier configuration may have planted under the default names.
    for (const wchar_t* name : kDefaultCanaryNames) names.push_back(AsciiLower(name));
    for (const std::wstring& name : names) {
        if (!IsPlantableCanaryName(name)) continue;
        bool seen = false;
        for (const std::wstring& n : search.names) seen = seen || AsciiLower(n) == AsciiLower(name);
        if (!seen) search.names.push_back(name);
    }
    for (const WatchDir& dir : DesiredWatchDirs(Utf8ToWide(ConfigReadString(content, "extraWatchDirs", ""))))
        search.extraFolders.push_back(dir.path);
    return search;
}

std::string CanaryFileBytes() {
    return WideToUtf8(kCanaryFileText);
}

bool IsUnchangedCanary(const std::string& bytes) {
    return bytes == CanaryFileBytes();
}

std::wstring DescribePausedProgram(const PausedProgram& program) {
    return (program.path.empty() ? std::wstring(L"unknown program") : program.path) + L" (process " +
           std::to_wstring(program.pid) + L")";
}

std::wstring PausedProgramsSentence(StepResult result, const VerbReport& report) {
    if (result == StepResult::Done)
        return L"Each program Vellumgard had paused was ended or let run again, as answered.";
    if (result != StepResult::Kept || report.pausedLeft.empty()) return std::wstring();
    return L"These programs Vellumgard paused stay paused:" + Indented(report.pausedLeft) +
           L"\nTheir list stays in " + report.pausedList +
           L". Run --uninstall without --quiet to end them or let them run again, or install Vellumgard "
           L"again and use \"Paused programs\u2026\" in its tray menu.";
}

std::wstring CanariesSentence(StepResult result, uint32_t error, const VerbReport& report) {
    std::wstring text;
    if (result == StepResult::Kept && !report.canariesLeft.empty()) {
        text =
            L"Vellumgard's canary files stay where it planted them; with Vellumgard gone they guard "
            L"nothing and may be deleted (--uninstall --purge removes the ones still as written):" +
            Indented(report.canariesLeft);
    } else if (result == StepResult::Done || result == StepResult::Failed) {
        if (!report.canariesRemoved.empty())
            text = L"Removed the canary files Vellumgard planted:" + Indented(report.canariesRemoved);
        if (result == StepResult::Failed) {
            if (!text.empty()) text += L"\n";
            text += L"Could not remove the canary file " + report.canaryFailed + L" (error " +
                    std::to_wstring(error) + L"); delete it yourself.";
        }
    }
    if (!report.canariesChanged.empty()) {
        if (!text.empty()) text += L"\n";
        text +=
            L"These files carry a canary's name but were changed since Vellumgard wrote them, so they "
            L"were left alone:" +
            Indented(report.canariesChanged);
    }
    return text;
}

std::wstring PurgeRefusedForPausedSentence(const VerbReport& report) {
    return L"Kept the data folder " + report.dataDir +
           L": it lists programs Vellumgard paused that still run, and without that list nothing could let "
           L"them run again. Run --uninstall without --quiet to end them or let them run again, then "
           L"--uninstall --purge again.";
}
