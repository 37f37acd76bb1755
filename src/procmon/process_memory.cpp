// One process-wide ring behind one mutex. Writers are the monitor thread
// (starts, and ends on the polling path) and the context worker (ends it
// noticed); readers copy out under the lock, so nobody waits longer than a
// copy of at most kProcessMemoryLimit records.
#include "procmon/process_memory.h"

#include <algorithm>
#include <deque>
#include <mutex>

namespace {

struct ProcessMemory {
    std::mutex lock;
    std::deque<RememberedProcess> starts;  // in the order they were noticed
    int64_t startMs = 0;
    int64_t listCurrentMs = 0;
    bool on = false;
};

ProcessMemory& Memory() {
    // Never destroyed: a monitor thread may still write while the process exits.
    static ProcessMemory* memory = new ProcessMemory;
    return *memory;
}

// The start as best known: the creation time, else when it was noticed.
int64_t StartOrSeen(const RememberedProcess& p) {
    return p.startedMs != 0 ? p.startedMs : p.seenMs;
}

bool Recent(const RememberedProcess& p, int64_t nowMs) {
    return std::max(p.startedMs, p.seenMs) >= nowMs - kProcessMemoryMs;
}

bool IsDigits(const std::wstring& text, size_t from, size_t count) {
    for (size_t i = from; i < from + count; ++i)
        if (text[i] < L'0' || text[i] > L'9') return false;
    return true;
}

int64_t Number(const std::wstring& text, size_t from, size_t count) {
    int64_t n = 0;
    for (size_t i = from; i < from + count; ++i) n = n * 10 + (text[i] - L'0');
    return n;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool IsLeap(int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

}  // namespace

void RememberProcessStart(const RememberedProcess& told, int64_t nowMs) {
    RememberedProcess process = told;
    if (process.startedMs < 0 || process.startedMs > std::max(process.seenMs, nowMs) + kCreationAfterSeenLimitMs)
        process.startedMs = 0;
    ProcessMemory& m = Memory();
    std::lock_guard<std::mutex> hold(m.lock);
    while (!m.starts.empty() && !Recent(m.starts.front(), nowMs)) m.starts.pop_front();
    // The same process told twice (pid and creation time) is kept once, with the newer facts.
    if (process.startedMs != 0) {
        for (RememberedProcess& known : m.starts) {
            if (known.pid == process.pid && known.startedMs == process.startedMs) {
                const int64_t ended = known.endedMs;
                known = process;
                if (known.endedMs == 0) known.endedMs = ended;
                return;
            }
        }
    }
    if (m.starts.size() >= kProcessMemoryLimit) m.starts.pop_front();
    m.starts.push_back(process);
}

void RememberProcessEnd(int32_t pid, int64_t startedMs, int64_t endedMs) {
    ProcessMemory& m = Memory();
    std::lock_guard<std::mutex> hold(m.lock);
    for (RememberedProcess& p : m.starts) {
        if (p.pid != pid || p.endedMs != 0) continue;
        // Without a creation time, a start noticed after the end belongs to a later
        // process that was given the same pid.
        const bool same = startedMs != 0 ? p.startedMs == startedMs : p.seenMs <= endedMs;
        if (same) p.endedMs = endedMs;
    }
}

std::vector<RememberedProcess> RecentProcesses(int64_t nowMs) {
    std::vector<RememberedProcess> out;
    {
        ProcessMemory& m = Memory();
        std::lock_guard<std::mutex> hold(m.lock);
        out.reserve(m.starts.size());
        for (const RememberedProcess& p : m.starts)
            if (Recent(p, nowMs)) out.push_back(p);
    }
    std::stable_sort(out.begin(), out.end(), [](const RememberedProcess& a, const RememberedProcess& b) {
        if (StartOrSeen(a) != StartOrSeen(b)) return StartOrSeen(a) > StartOrSeen(b);
        if (a.seenMs != b.seenMs) return a.seenMs > b.seenMs;
        return a.pid > b.pid;
    });
    return out;
}

int64_t ProcessMemoryStartMs() {
    ProcessMemory& m = Memory();
    std::lock_guard<std::mutex> hold(m.lock);
    return m.startMs;
}

void ResetProcessMemory() {
    ProcessMemory& m = Memory();
    std::lock_guard<std::mutex> hold(m.lock);
    m.starts.clear();
    m.startMs = 0;
    m.listCurrentMs = 0;
    m.on = false;
}

void SetProcessMemoryOn(bool on, int64_t nowMs) {
    ProcessMemory& m = Memory();
    std::lock_guard<std::mutex> hold(m.lock);
    if (on && !m.on) m.startMs = nowMs;
    m.on = on;
}

void NoteProcessListCurrent(int64_t asOfMs) {
    ProcessMemory& m = Memory();
    std::lock_guard<std::mutex> hold(m.lock);
    m.listCurrentMs = std::max(m.listCurrentMs, asOfMs);
}

int64_t ProcessListCurrentMs() {
    ProcessMemory& m = Memory();
    std::lock_guard<std::mutex> hold(m.lock);
    return m.listCurrentMs;
}

bool ProcessMemoryOn() {
    ProcessMemory& m = Memory();
    std::lock_guard<std::mutex> hold(m.lock);
    return m.on;
}

int64_t FileTimeToUnixMs(int64_t fileTime) {
    constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;
    if (fileTime <= kUnixEpochAsFileTime) return 0;
    return (fileTime - kUnixEpochAsFileTime) / 10000;
}

int64_t CimDateTimeToUnixMs(const std::wstring& text) {
    // yyyymmddHHMMSS.mmmmmmsUUU
    if (text.size() != 25 || text[14] != L'.' || (text[21] != L'+' && text[21] != L'-')) return 0;
    if (!IsDigits(text, 0, 14) || !IsDigits(text, 15, 6) || !IsDigits(text, 22, 3)) return 0;
    const int64_t year = Number(text, 0, 4), month = Number(text, 4, 2), day = Number(text, 6, 2);
    const int64_t hour = Number(text, 8, 2), minute = Number(text, 10, 2), second = Number(text, 12, 2);
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || month < 1 || month > 12 || day < 1) return 0;
    if (day > kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0)) return 0;
    if (hour > 23 || minute > 59 || second > 60) return 0;
    const int64_t offsetMinutes = Number(text, 22, 3) * (text[21] == L'-' ? -1 : 1);
    const int64_t localSeconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    const int64_t ms = (localSeconds - offsetMinutes * 60) * 1000 + Number(text, 15, 6) / 1000;
    return ms > 0 ? ms : 0;
}

std::string SignalNames(const std::string& fragment) {
    const std::string key = "\"signals\":[";
    const size_t at = fragment.find(key);
    if (at == std::string::npos) return std::string();
    const size_t end = fragment.find(']', at + key.size());
    if (end == std::string::npos) return std::string();
    std::string names;
    for (size_t i = at + key.size(); i < end; ++i) {
        const char c = fragment[i];
        if (c == '"') continue;
        if (c == ',') {
            names += ", ";
            continue;
        }
        names += c;
    }
    return names;
}
