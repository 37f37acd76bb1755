#include "procmon/pause_rules.h"

#include <algorithm>
#include <cstring>

#include "core/text.h"
#include "incidents/incident_store.h"

namespace {

std::wstring Fold(const std::wstring& text) {
    std::wstring out = text;
    for (wchar_t& c : out) {
        if (c == L'/') c = L'\\';
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    while (out.size() > 1 && out.back() == L'\\') out.pop_back();
    return out;
}

bool Inside(const std::wstring& foldedPath, const std::wstring& foldedFolder) {
    if (foldedFolder.empty() || foldedPath.size() <= foldedFolder.size()) return false;
    return foldedPath.compare(0, foldedFolder.size(), foldedFolder) == 0 &&
           foldedPath[foldedFolder.size()] == L'\\';
}

std::wstring FolderOf(const std::wstring& folded) {
    const size_t sep = folded.rfind(L'\\');
    return sep == std::wstring::npos ? std::wstring() : folded.substr(0, sep);
}

std::wstring NameOf(const std::wstring& folded) {
    const size_t sep = folded.rfind(L'\\');
    return sep == std::wstring::npos ? folded : folded.substr(sep + 1);
}

std::wstring Trimmed(const std::wstring& text) {
    size_t a = 0, b = text.size();
    while (a < b && (text[a] == L' ' || text[a] == L'\t')) ++a;
    while (b > a && (text[b - 1] == L' ' || text[b - 1] == L'\t')) --b;
    return text.substr(a, b - a);
}

// The system's own processes, exempt only as themselves in their own folder.
const wchar_t* const kSystemProcessNames[] = {L"smss.exe",     L"csrss.exe",    L"wininit.exe",
                                              L"winlogon.exe", L"services.exe", L"lsass.exe",
                                              L"dwm.exe",      L"svchost.exe",  L"explorer.exe"};

bool IsWriteAccess(uint32_t access) {
    return (access & (kAccessWriteData | kAccessAppendData | kAccessDelete)) != 0;
}

}  // namespace

bool PauseSettingsActive(bool pauseSuspectPrograms, bool extendedDetection, bool enableProcessMonitor) {
    return pauseSuspectPrograms && extendedDetection && enableProcessMonitor;
}

bool IsPauseTrigger(const std::string& reason, int32_t severity) {
    if (severity < kPauseTriggerSeverity) return false;
    return reason == kReasonCanary || reason == kReasonEncryptedContent || reason == kReasonMassRename;
}

PauseEvidence FindWriteEvidence(const EvidenceQuery& query, const std::vector<HandleSighting>& sightings) {
    const std::wstring tree = Fold(query.tree);
    const std::wstring detection = Fold(query.detectionFile);
    for (const HandleSighting& s : sightings) {
        if (!IsWriteAccess(s.access)) continue;
        if (s.listedMs < query.triggerMs || s.listedMs - query.triggerMs > kEvidenceWindowMs) continue;
        const std::wstring path = Fold(s.path);
        bool damaged = !detection.empty() && path == detection;
        if (!damaged && Inside(path, tree)) {
            damaged = std::any_of(query.damaged.begin(), query.damaged.end(), [&](const DamagedFile& d) {
                return d.loggedMs >= s.listedMs - kDamageBeforeListingMs &&
                       d.loggedMs <= s.listedMs + kDamageAfterListingMs && Fold(d.path) == path;
            });
        }
        if (damaged) {
            PauseEvidence e;
            e.found = true;
            e.file = s.path;
            e.access = s.access;
            e.listedMs = s.listedMs;
            return e;
        }
    }
    return PauseEvidence{};
}

std::string DescribeEvidence(const PauseEvidence& evidence) {
    if (!evidence.found) return "no open handle with write access to a damaged file";
    std::string access;
    auto add = [&](uint32_t bit, const char* word) {
        if (evidence.access & bit) access += (access.empty() ? "" : ", ") + std::string(word);
    };
    add(kAccessWriteData, "write data");
    add(kAccessAppendData, "append data");
    add(kAccessDelete, "delete");
    return WideToUtf8(evidence.file) + " (" + access + ")";
}

std::wstring NormalizeHandlePath(const std::wstring& finalPath) {
    if (finalPath.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + finalPath.substr(8);
    if (finalPath.compare(0, 4, L"\\\\?\\") == 0) return finalPath.substr(4);
    return finalPath;
}

const char* NeverPauseReason(const PauseTarget& target, const std::wstring& windowsFolder,
                             const std::wstring& neverPausePrograms) {
    if (target.isSelf) return "the agent itself";
    if (target.pid == 0 || target.pid == 4) return "a process of the system kernel";
    if (!target.sameUser) return "runs as another user";
    if (!target.sameSession) return "runs in another session";
    if (!target.canSuspend) return "cannot be opened for pausing";

    const std::wstring path = Fold(target.path);
    const std::wstring name = NameOf(path);
    const std::wstring folder = FolderOf(path);
    const std::wstring windows = Fold(windowsFolder);
    const bool systemFolder = !windows.empty() && (folder == windows || folder == windows + L"\\system32" ||
                                                   folder == windows + L"\\syswow64");
    for (const wchar_t* system : kSystemProcessNames)
        if (systemFolder && name == system) return "a process of the system";

    if (!name.empty()) {
        size_t start = 0;
        while (start <= neverPausePrograms.size()) {
            size_t end = neverPausePrograms.find(L';', start);
            if (end == std::wstring::npos) end = neverPausePrograms.size();
            const std::wstring entry = Fold(Trimmed(neverPausePrograms.substr(start, end - start)));
            if (!entry.empty() && (entry == name || entry == path)) return "listed in neverPausePrograms";
            start = end + 1;
        }
    }
    return nullptr;
}

std::vector<RememberedProcess> ChildrenStartedAfter(const RememberedProcess& parent,
                                                    const std::vector<RememberedProcess>& recent) {
    std::vector<RememberedProcess> out;
    std::vector<const RememberedProcess*> parents = {&parent};
    // Each process joins at most once, so pids given out again cannot loop.
    std::vector<bool> taken(recent.size(), false);
    for (size_t next = 0; next < parents.size(); ++next) {
        const RememberedProcess& p = *parents[next];
        if (p.startedMs == 0) continue;
        for (size_t i = 0; i < recent.size(); ++i) {
            const RememberedProcess& c = recent[i];
            if (taken[i] || c.parentPid != p.pid || c.endedMs != 0 || c.startedMs == 0 ||
                c.startedMs < p.startedMs)
                continue;
            if (c.pid == parent.pid && c.startedMs == parent.startedMs) continue;
            taken[i] = true;
            out.push_back(c);
            parents.push_back(&recent[i]);
        }
    }
    return out;
}
