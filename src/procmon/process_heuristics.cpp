#include "procmon/process_heuristics.h"

#include <initializer_list>
#include <vector>

#include "core/text.h"
#include "fsmon/file_name_heuristics.h"

namespace {

struct ScoreState {
    int32_t score = 0;
    std::vector<const char*> signals;  // in firing order
};

void AddSignal(ScoreState& state, int32_t points, const char* signal) {
    state.score += points;
    state.signals.push_back(signal);
}

// An empty text contains nothing, not even an empty needle.
bool ContainsAny(const std::wstring& text, std::initializer_list<const wchar_t*> needles) {
    if (text.empty()) return false;
    for (const wchar_t* needle : needles) {
        if (text.find(needle) != std::wstring::npos) return true;
    }
    return false;
}

bool IsCoreProcessName(const std::wstring& lowerName) {
    for (const wchar_t* core : CoreProcessNames) {
        if (lowerName == AsciiLower(core)) return true;
    }
    return false;
}

}  // namespace

int32_t ScoreProcess(const std::wstring& name, const std::wstring& path, const std::wstring& commandLine,
                     std::string& fragment) {
    const std::wstring n = AsciiLower(name);
    const std::wstring p = AsciiLower(path);
    const std::wstring c = AsciiLower(commandLine);
    const bool inSystemFolder = ContainsAny(p, {L"\\windows\\system32\\", L"\\windows\\syswow64\\"});
    const bool underWindows = ContainsAny(p, {L"\\windows\\"});

    ScoreState s;
    if (ContainsAny(n, {L"powershell", L"pwsh"})) AddSignal(s, 25, "script_engine_powershell");
    if (ContainsAny(n, {L"wscript", L"cscript"})) AddSignal(s, 20, "script_host");
    if (ContainsAny(n, {L"mshta.exe"})) AddSignal(s, 25, "lolbin_mshta");
    if (ContainsAny(n, {L"rundll32.exe", L"regsvr32.exe"})) AddSignal(s, 20, "lolbin_dll_loader");
    if (ContainsAny(n, {L"certutil.exe", L"bitsadmin.exe", L"wmic.exe"})) AddSignal(s, 15, "lolbin_tool");
    if (ContainsAny(c, {L"-enc", L"-encodedcommand", L"frombase64string"}))
        AddSignal(s, 35, "encoded_command");
    if (ContainsAny(n, {L"vssadmin.exe", L"wbadmin.exe", L"bcdedit.exe", L"wmic.exe"})) {
        AddSignal(s, 25, "backup_or_boot_tool");
    }
    if (ContainsAny(c, {L"delete shadows", L"shadowcopy", L"shadows delete"}))
        AddSignal(s, 40, "shadowcopy_command");
    if (n == L"cmd.exe" && ContainsAny(c, {L"/c"}) && ContainsAny(c, {L"cipher", L"compact"})) {
        AddSignal(s, 25, "cmd_cipher_or_compact");
    }
    // A user-space marker wins even below the Windows folder (a Temp there is still user-writable).
    const bool inUserSpace =
        ContainsAny(p, {L"\\users\\", L"\\appdata\\", L"\\temp\\", L"\\downloads\\", L"\\desktop\\"});
    if (inUserSpace) {
        AddSignal(s, 10, "user_space_location");
    } else if (!underWindows) {
        AddSignal(s, 5, "non_windows_system_drive");
    }
    if (!n.empty() && IsCoreProcessName(n) && !inSystemFolder) AddSignal(s, 40, "core_name_outside_system32");
    if (inUserSpace && ContainsAny(n, {L"invoice", L"payment", L"document", L"scanned", L"delivery"})) {
        AddSignal(s, 15, "lure_name_in_userspace");
    }

    fragment = "\"score\":" + std::to_string(s.score);
    if (!s.signals.empty()) {
        fragment += ",\"signals\":[";
        for (size_t i = 0; i < s.signals.size(); ++i) {
            if (i > 0) fragment += ',';
            fragment += '"' + JsonEscape(s.signals[i]) + '"';
        }
        fragment += ']';
    }
    return s.score;
}
