#include "procmon/extended_process_rules.h"

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "core/text.h"
#include "fsmon/file_name_heuristics.h"
#include "procmon/command_line_normaliser.h"
#include "procmon/process_heuristics.h"

namespace {

// Every signal, in fragment order: first those kept from ScoreProcess (same
// names and points), then the extended ones.
enum Signal {
    kPowerShell,
    kScriptHost,
    kMshta,
    kDllLoader,
    kLolbinTool,
    kEncodedCommand,
    kBackupOrBootTool,
    kShadowCopyCommand,
    kCmdCipherOrCompact,
    kUserSpace,
    kNonWindowsDrive,
    kLureName,
    kEncodedUndecodable,
    kShadowStorageResize,
    kBackupDeletion,
    kBootRecoveryDisabled,
    kDiskshadowScript,
    kEventLogClearing,
    kSystemToolDownload,
    kSystemToolDecode,
    kDownloadCradle,
    kInvokeExpression,
    kDownloadPipedToExecution,
    kScriptHostRemoteCode,
    kScriptFromUserFolder,
    kCoreNameMasquerade,
    kPowerShellFromCommand,
    kCipherWipe,
    kCoreNameLookAlike,
    kRenamedSystemTool,
    kSignalCount
};

struct SignalInfo {
    const char* name;
    int32_t points;
};

const SignalInfo kSignals[kSignalCount] = {
    {"script_engine_powershell", 25},
    {"script_host", 20},
    {"lolbin_mshta", 25},
    {"lolbin_dll_loader", 20},
    {"lolbin_tool", 15},
    {"encoded_command", 35},
    {"backup_or_boot_tool", 25},
    {"shadowcopy_command", 40},
    {"cmd_cipher_or_compact", 25},
    {"user_space_location", 10},
    {"non_windows_system_drive", 5},
    {"lure_name_in_userspace", 15},
    {"encoded_command_undecodable", 15},
    {"shadow_storage_resize", 40},
    {"backup_deletion", 40},
    {"boot_recovery_disabled", 40},
    {"diskshadow_script", 60},
    {"event_log_clearing", 60},
    {"system_tool_download", 45},
    {"system_tool_decode", 45},
    {"script_download_cradle", 40},
    {"invoke_expression", 20},
    {"download_piped_to_execution", 60},
    {"script_host_remote_code", 40},
    {"script_from_user_folder", 40},
    {"core_name_masquerade", 60},
    {"powershell_started_by_command", 25},
    {"free_space_wipe", 40},
    {"core_name_lookalike", 60},
    {"renamed_system_tool", 30},
};

using Fired = bool[kSignalCount];

bool Has(const std::wstring& text, const wchar_t* needle) {
    return !text.empty() && text.find(needle) != std::wstring::npos;
}

bool HasAny(const std::wstring& text, std::initializer_list<const wchar_t*> needles) {
    for (const wchar_t* n : needles)
        if (Has(text, n)) return true;
    return false;
}

bool IsWordChar(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'_' || c == L'-' || c == L'.';
}

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

// Position of `word` as a whole word at or after `from` (not inside a longer
// name such as "iexplore" or "airmail"), or npos.
size_t FindWord(const std::wstring& text, const std::wstring& word, size_t from = 0) {
    for (size_t at = text.find(word, from); at != std::wstring::npos; at = text.find(word, at + 1)) {
        const bool startOk = at == 0 || !IsWordChar(text[at - 1]);
        const size_t end = at + word.size();
        const bool endOk = end >= text.size() || !IsWordChar(text[end]) || text[end] == L'.';
        if (startOk && endOk) return at;
    }
    return std::wstring::npos;
}

bool HasWord(const std::wstring& text, std::initializer_list<const wchar_t*> words) {
    for (const wchar_t* w : words)
        if (FindWord(text, w) != std::wstring::npos) return true;
    return false;
}

// `first`, then later `second` (each anywhere).
bool HasInOrder(const std::wstring& text, const wchar_t* first,
                std::initializer_list<const wchar_t*> seconds) {
    const size_t at = text.find(first);
    if (at == std::wstring::npos) return false;
    for (const wchar_t* s : seconds)
        if (text.find(s, at) != std::wstring::npos) return true;
    return false;
}

// "recoveryenabled no", "bootstatuspolicy ignoreallfailures": a setting
// followed, after blanks, by a value.
bool SettingIs(const std::wstring& text, const wchar_t* setting,
               std::initializer_list<const wchar_t*> values) {
    for (size_t at = text.find(setting); at != std::wstring::npos; at = text.find(setting, at + 1)) {
        size_t v = at + std::wstring(setting).size();
        if (v >= text.size() || !IsBlank(text[v])) continue;
        while (v < text.size() && IsBlank(text[v])) ++v;
        for (const wchar_t* value : values) {
            const std::wstring w(value);
            if (text.compare(v, w.size(), w) == 0 &&
                (v + w.size() >= text.size() || !IsWordChar(text[v + w.size()])))
                return true;
        }
    }
    return false;
}

bool HasUrl(const std::wstring& text) {
    return HasAny(text, {L"http:", L"https:", L"ftp:"});
}

const wchar_t* const kUserMarkers[] = {L"\\users\\", L"\\appdata\\", L"\\temp\\", L"\\downloads\\",
                                       L"\\desktop\\"};

bool HasUserMarker(const std::wstring& text) {
    for (const wchar_t* m : kUserMarkers)
        if (Has(text, m)) return true;
    return false;
}

// A script file name in the text: ".js", ".jse", ".vbs", ".vbe", ".wsf" not
// followed by a letter or digit (".json" is no script).
bool HasScriptFile(const std::wstring& text) {
    for (const wchar_t* ext : {L".js", L".jse", L".vbs", L".vbe", L".wsf", L".wsh"}) {
        const std::wstring e(ext);
        for (size_t at = text.find(e); at != std::wstring::npos; at = text.find(e, at + 1)) {
            const size_t end = at + e.size();
            if (end >= text.size() ||
                !((text[end] >= L'a' && text[end] <= L'z') || (text[end] >= L'0' && text[end] <= L'9')))
                return true;
        }
    }
    return false;
}

// A download, then a pipe into an interpreter or a start of what was fetched.
bool DownloadThenExecute(const std::wstring& t) {
    size_t download = std::wstring::npos;
    for (const wchar_t* d :
         {L"invoke-webrequest", L"iwr", L"invoke-restmethod", L"irm", L"curl", L"curl.exe", L"wget",
          L"downloadstring", L"downloadfile", L"downloaddata", L"start-bitstransfer", L"net.webclient"}) {
        const size_t at = FindWord(t, d);
        if (at < download) download = at;
    }
    if (download == std::wstring::npos) return false;
    for (size_t pipe = t.find(L'|', download); pipe != std::wstring::npos; pipe = t.find(L'|', pipe + 1)) {
        size_t p = pipe + 1;
        while (p < t.size() && IsBlank(t[p])) ++p;
        for (const wchar_t* x :
             {L"iex", L"invoke-expression", L"powershell", L"pwsh", L"cmd", L"sh", L"bash"}) {
            const std::wstring w(x);
            if (t.compare(p, w.size(), w) == 0 &&
                (p + w.size() >= t.size() || !IsWordChar(t[p + w.size()]) || t[p + w.size()] == L'.'))
                return true;
        }
    }
    return FindWord(t, L"start-process", download) != std::wstring::npos ||
           FindWord(t, L"saps", download) != std::wstring::npos ||
           FindWord(t, L"invoke-item", download) != std::wstring::npos;
}

// The signals a command text shows; run on the command line and on a decoded
// command alike.
void ScoreText(const std::wstring& t, Fired& fired) {
    if (t.empty()) return;
    if (Has(t, L"frombase64string")) fired[kEncodedCommand] = true;
    if (HasAny(t, {L"delete shadows", L"shadowcopy", L"shadows delete"})) fired[kShadowCopyCommand] = true;
    if (Has(t, L"resize shadowstorage")) fired[kShadowStorageResize] = true;
    if (HasInOrder(t, L"wbadmin", {L" delete "})) fired[kBackupDeletion] = true;
    if (SettingIs(t, L"recoveryenabled", {L"no", L"off", L"false", L"0"}) ||
        SettingIs(t, L"bootstatuspolicy", {L"ignoreallfailures"}))
        fired[kBootRecoveryDisabled] = true;
    if (HasInOrder(t, L"diskshadow", {L" /s ", L" -s "})) fired[kDiskshadowScript] = true;
    {
        const size_t w = FindWord(t, L"wevtutil");
        const bool wevtutilClears =
            w != std::wstring::npos && (FindWord(t, L"cl", w) != std::wstring::npos ||
                                        FindWord(t, L"clear-log", w) != std::wstring::npos);
        if (wevtutilClears || Has(t, L"clear-eventlog") || HasInOrder(t, L"fsutil", {L"deletejournal"}))
            fired[kEventLogClearing] = true;
    }
    if ((Has(t, L"certutil") && HasAny(t, {L"urlcache", L"verifyctl"}) && HasUrl(t)) ||
        (Has(t, L"bitsadmin") && HasAny(t, {L"/transfer", L"/addfile", L"-transfer", L"-addfile"}) &&
         HasUrl(t)) ||
        (Has(t, L"start-bitstransfer") && HasUrl(t)))
        fired[kSystemToolDownload] = true;
    if (Has(t, L"certutil") && HasAny(t, {L"-decode", L"/decode"})) fired[kSystemToolDecode] = true;
    if (HasAny(t, {L"downloadstring", L"downloaddata"})) fired[kDownloadCradle] = true;
    if (HasWord(t, {L"iex", L"invoke-expression"})) fired[kInvokeExpression] = true;
    if (DownloadThenExecute(t)) fired[kDownloadPipedToExecution] = true;
    if ((Has(t, L"mshta") && HasAny(t, {L"http:", L"https:", L"javascript:", L"vbscript:"})) ||
        (Has(t, L"rundll32") && HasAny(t, {L"javascript:", L"vbscript:", L"runhtmlapplication"})) ||
        (Has(t, L"regsvr32") && HasAny(t, {L"scrobj", L"i:http", L"i:ftp"})))
        fired[kScriptHostRemoteCode] = true;
    if (HasAny(t, {L"wscript", L"cscript"}) && HasUserMarker(t) && HasScriptFile(t))
        fired[kScriptFromUserFolder] = true;
    if (FindWord(t, L"cipher") != std::wstring::npos && HasAny(t, {L"/w:", L"-w:"}))
        fired[kCipherWipe] = true;
}

bool IsCoreName(const std::wstring& lowerName) {
    for (const wchar_t* core : CoreProcessNames)
        if (lowerName == AsciiLower(core)) return true;
    return false;
}

// The path is exactly <system folder>\<name>, with the forms the system
// reports for its own processes ("C:\Windows\System32\x", "\SystemRoot\System32\x",
// "\??\C:\..." and "\\?\C:\...").
bool InSystemFolder(const std::wstring& lowerPath, const std::wstring& lowerName) {
    std::wstring p = lowerPath;
    for (const wchar_t* prefix : {L"\\\\?\\", L"\\??\\"})
        if (p.compare(0, std::wstring(prefix).size(), prefix) == 0) p.erase(0, std::wstring(prefix).size());
    std::wstring folder;
    if (p.size() > 2 && p[1] == L':' && p[2] == L'\\')
        folder = p.substr(2);
    else if (p.compare(0, 12, L"\\systemroot\\") == 0)
        folder = L"\\windows\\" + p.substr(12);
    else if (p.compare(0, 13, L"%systemroot%\\") == 0)
        folder = L"\\windows\\" + p.substr(13);
    else
        return false;
    for (const wchar_t* system : {L"\\windows\\system32\\", L"\\windows\\syswow64\\"})
        if (folder == std::wstring(system) + lowerName) return true;
    return false;
}

bool IsDash(wchar_t c) {
    return c == L'-' || c == L'/' || c == 0x2013 || c == 0x2014 || c == 0x2015;
}

bool IsPrefixOf(const std::wstring& p, const wchar_t* word, size_t minimum = 1) {
    const std::wstring w(word);
    return p.size() >= minimum && p.size() <= w.size() && w.compare(0, p.size(), p) == 0;
}

// Host parameters that take a value (the value is skipped, not read as a parameter).
bool TakesValue(const std::wstring& p) {
    return p == L"ep" || p == L"ex" || IsPrefixOf(p, L"executionpolicy", 3) ||
           IsPrefixOf(p, L"windowstyle") || p == L"v" || IsPrefixOf(p, L"version", 2) ||
           IsPrefixOf(p, L"psconsolefile", 2) || IsPrefixOf(p, L"inputformat", 2) || p == L"if" ||
           IsPrefixOf(p, L"outputformat", 2) || p == L"of" || IsPrefixOf(p, L"configurationname", 4) ||
           p == L"wd" || IsPrefixOf(p, L"workingdirectory", 2) || IsPrefixOf(p, L"settingsfile", 2) ||
           IsPrefixOf(p, L"custompipename", 2) || p == L"ea" || IsPrefixOf(p, L"encodedarguments", 8);
}

std::wstring StripQuotes(std::wstring token) {
    while (!token.empty() && (token.front() == L'"' || token.front() == L'\'')) token.erase(0, 1);
    while (!token.empty() && (token.back() == L'"' || token.back() == L'\'')) token.pop_back();
    return token;
}

std::vector<std::wstring> SplitBlanks(const std::wstring& text, size_t from) {
    std::vector<std::wstring> tokens;
    std::wstring current;
    for (size_t i = from; i < text.size(); ++i) {
        if (IsBlank(text[i])) {
            if (!current.empty()) tokens.push_back(current);
            current.clear();
        } else {
            current += text[i];
        }
    }
    if (!current.empty()) tokens.push_back(current);
    return tokens;
}

// Reads host parameters from `from` on, until the script itself begins.
bool ScanHostParameters(const std::wstring& lower, const std::wstring& original, size_t from,
                        std::wstring& payload) {
    const std::vector<std::wstring> tokens = SplitBlanks(lower, from);
    const std::vector<std::wstring> originals = SplitBlanks(original, from);
    for (size_t i = 0; i < tokens.size(); ++i) {
        const std::wstring t = StripQuotes(tokens[i]);
        if (t.empty()) continue;
        if (!IsDash(t[0])) return false;  // a bare word starts the command
        std::wstring p = t.substr(1);
        const size_t colon = p.find(L':');
        const bool inlineValue = colon != std::wstring::npos;
        if (inlineValue) p.erase(colon);
        if (IsEncodedCommandParameter(p)) {
            const std::wstring o = StripQuotes(originals[i]);
            const size_t oColon = o.find(L':');
            payload = inlineValue && oColon != std::wstring::npos ? o.substr(oColon + 1)
                      : i + 1 < originals.size()                  ? StripQuotes(originals[i + 1])
                                                                  : std::wstring();
            return true;
        }
        if (p.empty() || IsPrefixOf(p, L"command") || IsPrefixOf(p, L"file")) return false;
        if (TakesValue(p) && !inlineValue) ++i;
    }
    return false;
}

// Where each "powershell" or "pwsh" program name in the text ends (after an
// optional ".exe"): a whole name, not part of a folder such as "WindowsPowerShell\".
std::vector<size_t> PowerShellHosts(const std::wstring& lower) {
    std::vector<size_t> ends;
    for (const wchar_t* host : {L"powershell", L"pwsh"}) {
        const std::wstring h(host);
        for (size_t at = lower.find(h); at != std::wstring::npos; at = lower.find(h, at + 1)) {
            if (at > 0 && IsWordChar(lower[at - 1]) && lower[at - 1] != L'.') continue;
            size_t end = at + h.size();
            if (lower.compare(end, 4, L".exe") == 0) end += 4;
            if (end < lower.size() && !IsBlank(lower[end]) && lower[end] != L'"' && lower[end] != L'\'')
                continue;
            ends.push_back(end);
        }
    }
    return ends;
}

}  // namespace

bool IsEncodedCommandParameter(const std::wstring& parameter) {
    const std::wstring p = AsciiLower(parameter);
    return p == L"ec" || IsPrefixOf(p, L"encodedcommand");
}

bool FindEncodedCommand(const std::wstring& commandLine, bool nameIsPowerShell, std::wstring& payload) {
    payload.clear();
    const std::wstring lower = AsciiLower(commandLine);
    for (size_t end : PowerShellHosts(lower))
        if (ScanHostParameters(lower, commandLine, end, payload)) return true;
    // A host whose command line holds only its arguments.
    return nameIsPowerShell && ScanHostParameters(lower, commandLine, 0, payload);
}

bool DecodeEncodedCommand(const std::wstring& payload, std::u16string& text) {
    text.clear();
    const size_t n = payload.size();
    if (n == 0 || n % 4 != 0) return false;
    std::vector<uint8_t> bytes;
    bytes.reserve(n / 4 * 3);
    uint32_t buffer = 0;
    int bits = 0;
    size_t padding = 0;
    for (size_t i = 0; i < n; ++i) {
        const wchar_t c = payload[i];
        int v;
        if (c >= L'A' && c <= L'Z')
            v = c - L'A';
        else if (c >= L'a' && c <= L'z')
            v = c - L'a' + 26;
        else if (c >= L'0' && c <= L'9')
            v = c - L'0' + 52;
        else if (c == L'+')
            v = 62;
        else if (c == L'/')
            v = 63;
        else if (c == L'=' && i + 2 >= n) {
            ++padding;
            continue;
        } else {
            return false;
        }
        if (padding) return false;  // data after padding
        buffer = (buffer << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<uint8_t>((buffer >> bits) & 0xFF));
        }
    }
    if (bytes.empty() || bytes.size() % 2 != 0) return false;
    for (size_t i = 0; i < bytes.size(); i += 2)
        text += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    return true;
}

std::string Utf16PrefixToUtf8(const std::u16string& text, size_t maxUnits) {
    size_t count = text.size() < maxUnits ? text.size() : maxUnits;
    if (count > 0 && count < text.size() && text[count - 1] >= 0xD800 && text[count - 1] <= 0xDBFF &&
        text[count] >= 0xDC00 && text[count] <= 0xDFFF)
        --count;
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
            ++i;
        } else {
            AppendUtf8(out, u);  // a lone surrogate becomes U+FFFD
        }
    }
    return out;
}

namespace {

// System tools whose copy under another name is a known disguise.
const wchar_t* const kSystemTools[] = {
    L"vssadmin", L"wbadmin",     L"bcdedit",    L"wmic",    L"certutil", L"bitsadmin", L"mshta",
    L"rundll32", L"regsvr32",    L"powershell", L"pwsh",    L"wscript",  L"cscript",   L"cmd",
    L"wevtutil", L"fsutil",      L"diskshadow", L"cipher",  L"reg",      L"schtasks",  L"sc",
    L"net",      L"net1",        L"netsh",      L"icacls",  L"takeown",  L"taskkill",  L"bcdboot",
    L"msbuild",  L"installutil", L"regasm",     L"regsvcs", L"cmstp",    L"msiexec",   L"wusa",
    L"esentutl", L"ntdsutil",    L"psexec",
};

bool IsSystemTool(const std::wstring& stem) {
    for (const wchar_t* tool : kSystemTools)
        if (stem == tool) return true;
    return false;
}

// The signals a program's name alone gives (ASCII-lower-cased name).
void FireToolSignals(const std::wstring& n, Fired& fired) {
    fired[kPowerShell] |= HasAny(n, {L"powershell", L"pwsh"});
    fired[kScriptHost] |= HasAny(n, {L"wscript", L"cscript"});
    fired[kMshta] |= Has(n, L"mshta.exe");
    fired[kDllLoader] |= HasAny(n, {L"rundll32.exe", L"regsvr32.exe"});
    fired[kLolbinTool] |= HasAny(n, {L"certutil.exe", L"bitsadmin.exe", L"wmic.exe"});
    fired[kBackupOrBootTool] |= HasAny(n, {L"vssadmin.exe", L"wbadmin.exe", L"bcdedit.exe", L"wmic.exe"});
}

// The words of a command text, split at blanks and at the characters shells
// put between commands.
std::vector<std::wstring> SplitWords(const std::wstring& text) {
    std::vector<std::wstring> words;
    std::wstring current;
    for (const wchar_t c : text) {
        if (IsBlank(c) || c == L'&' || c == L'|' || c == L'(' || c == L')' || c == L';' || c == L',') {
            if (!current.empty()) words.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) words.push_back(current);
    return words;
}

// The command text's signals, on the raw text and on its normalised form: a
// spelling variation can only add to what the raw text shows.
void ScoreCommandText(const std::wstring& text, Fired& fired) {
    const std::wstring lower = AsciiLower(text);
    ScoreText(lower, fired);
    const std::wstring normalised = AsciiLower(NormaliseCommandLine(text));
    if (normalised != lower) ScoreText(normalised, fired);
}

// Every signal of one name, path and command line.
void FireAll(const std::wstring& name, const std::wstring& path, const std::wstring& commandLine,
             Fired& fired, std::string& decodedMember) {
    const std::wstring n = AsciiLower(name);
    const std::wstring p = AsciiLower(path);
    const std::wstring c = AsciiLower(commandLine);
    const std::wstring normalised = NormaliseCommandLine(commandLine);
    const std::wstring cn = AsciiLower(normalised);

    const bool powerShell = HasAny(n, {L"powershell", L"pwsh"});
    FireToolSignals(n, fired);
    // A shell starting a tool: the tool's own signals (the words of the normalised text,
    // so "v^s^s^a^d^m^i^n" counts as vssadmin).
    if (powerShell || n == L"cmd.exe")
        for (const std::wstring& word : SplitWords(cn)) {
            const std::wstring stem = ClaimedStem(word);
            if (stem != L"cmd" && stem != L"powershell" && stem != L"pwsh" && IsSystemTool(stem))
                FireToolSignals(stem + L".exe", fired);
        }
    for (const std::wstring* t : {&c, &cn})
        if (n == L"cmd.exe" && Has(*t, L"/c") && HasAny(*t, {L"cipher", L"compact"}))
            fired[kCmdCipherOrCompact] = true;
    if (n == L"diskshadow.exe" && (HasWord(c, {L"/s", L"-s"}) || HasWord(cn, {L"/s", L"-s"})))
        fired[kDiskshadowScript] = true;

    // Location: an empty path is unknown, neither user space nor elsewhere.
    const bool inUserSpace = HasUserMarker(p);
    fired[kUserSpace] |= inUserSpace;
    const bool underWindows = Has(p, L"\\windows\\") || p.compare(0, 12, L"\\systemroot\\") == 0 ||
                              p.compare(0, 13, L"%systemroot%\\") == 0;
    fired[kNonWindowsDrive] |= !p.empty() && !inUserSpace && !underWindows;
    fired[kLureName] |=
        inUserSpace && HasAny(n, {L"invoice", L"payment", L"document", L"scanned", L"delivery"});
    fired[kCoreNameMasquerade] |= !p.empty() && IsCoreName(n) && !InSystemFolder(p, n);
    // A slip of the pen counts outside the installed-programs folders only: installers put
    // programs there whose names merely come close to a core name.
    bool slip = false;
    if (!ImitatedCoreName(name, &slip).empty() && !(slip && Has(p, L"\\program files")))
        fired[kCoreNameLookAlike] = true;

    ScoreCommandText(commandLine, fired);
    // Another program (cmd, a script host, an office macro's shell) starting a PowerShell host.
    fired[kPowerShellFromCommand] |=
        !powerShell && (!PowerShellHosts(c).empty() || !PowerShellHosts(cn).empty());
    std::wstring payload;
    if (FindEncodedCommand(commandLine, powerShell, payload) ||
        FindEncodedCommand(normalised, powerShell, payload)) {
        fired[kEncodedCommand] = true;
        std::u16string decoded;
        if (DecodeEncodedCommand(payload, decoded)) {
            std::wstring wide;
            wide.reserve(decoded.size());
            for (const char16_t u : decoded) wide += static_cast<wchar_t>(u);
            ScoreCommandText(wide, fired);
            decodedMember = "\"decoded\":\"" + JsonEscape(Utf16PrefixToUtf8(decoded, 200)) + "\"";
        } else {
            fired[kEncodedUndecodable] = true;
        }
    }
}

// The command line as if `program` had been started: its first word, when it
// names the image, replaced by `program`, else `program` put in front.
std::wstring AsStartedBy(const std::wstring& commandLine, const std::wstring& name,
                         const std::wstring& program) {
    size_t start = 0;
    while (start < commandLine.size() && IsBlank(commandLine[start])) ++start;
    size_t end = start;
    if (end < commandLine.size() && commandLine[end] == L'"') {
        end = commandLine.find(L'"', end + 1);
        end = end == std::wstring::npos ? commandLine.size() : end + 1;
    } else {
        while (end < commandLine.size() && !IsBlank(commandLine[end])) ++end;
    }
    std::wstring first = commandLine.substr(start, end - start);
    first.erase(std::remove(first.begin(), first.end(), L'"'), first.end());
    if (end > start && ClaimedStem(first) == ClaimedStem(name)) return program + commandLine.substr(end);
    return program + L" " + commandLine;
}

}  // namespace

std::wstring ClaimedStem(const std::wstring& name) {
    std::wstring s = AsciiLower(name);
    while (!s.empty() && (s.back() == L' ' || s.back() == L'\0')) s.pop_back();
    const size_t slash = s.find_last_of(L"\\/");
    if (slash != std::wstring::npos) s.erase(0, slash + 1);
    if (s.size() > 4 && s.compare(s.size() - 4, 4, L".mui") == 0) s.erase(s.size() - 4);
    const size_t dot = s.rfind(L'.');
    if (dot != std::wstring::npos && dot > 0) s.erase(dot);
    return s;
}

bool ClaimsOtherName(const std::wstring& name, const std::wstring& claimed) {
    const std::wstring stem = ClaimedStem(claimed);
    return !stem.empty() && stem != ClaimedStem(name);
}

int32_t ScoreProcessExtended(const std::wstring& name, const std::wstring& path,
                             const std::wstring& commandLine, std::string& fragment,
                             std::string& decodedMember) {
    return ScoreProcessExtended(name, std::wstring(), std::wstring(), path, commandLine, fragment,
                                decodedMember);
}

int32_t ScoreProcessExtended(const std::wstring& name, const std::wstring& originalFileName,
                             const std::wstring& internalName, const std::wstring& path,
                             const std::wstring& commandLine, std::string& fragment,
                             std::string& decodedMember) {
    decodedMember.clear();
    Fired fired = {};
    FireAll(name, path, commandLine, fired, decodedMember);
    // The program as what its version resource claims, too: those signals only add.
    for (const std::wstring* claimed : {&originalFileName, &internalName}) {
        if (!ClaimsOtherName(name, *claimed)) continue;
        const std::wstring stem = ClaimedStem(*claimed);
        if (IsSystemTool(stem)) fired[kRenamedSystemTool] = true;
        std::string ignored;
        FireAll(stem + L".exe", path, AsStartedBy(commandLine, name, stem), fired, ignored);
    }

    int32_t score = 0;
    std::string signals;
    for (int i = 0; i < kSignalCount; ++i) {
        if (!fired[i]) continue;
        score += kSignals[i].points;
        if (!signals.empty()) signals += ',';
        signals += '"' + JsonEscape(kSignals[i].name) + '"';
    }
    fragment = "\"score\":" + std::to_string(score);
    if (!signals.empty()) fragment += ",\"signals\":[" + signals + "]";
    return score;
}
