#include "fsmon/damaged_files.h"

#include <deque>
#include <mutex>

namespace {

std::mutex gDamagedLock;
std::deque<NotedDamage>& Damaged() {
    static std::deque<NotedDamage>* list = new std::deque<NotedDamage>;  // outlives late workers
    return *list;
}

}  // namespace

void NoteDamagedFile(const std::wstring& path, int64_t nowMs) {
    std::lock_guard<std::mutex> hold(gDamagedLock);
    std::deque<NotedDamage>& list = Damaged();
    while (!list.empty() &&
           (list.size() >= kDamagedFileMemoryLimit || list.front().loggedMs < nowMs - kDamagedFileMemoryMs))
        list.pop_front();
    list.push_back({path, nowMs});
}

std::vector<NotedDamage> RecentDamagedFiles(int64_t nowMs) {
    std::lock_guard<std::mutex> hold(gDamagedLock);
    std::vector<NotedDamage> out;
    for (const NotedDamage& d : Damaged())
        if (d.loggedMs >= nowMs - kDamagedFileMemoryMs) out.push_back(d);
    return out;
}

void ResetDamagedFiles() {
    std::lock_guard<std::mutex> hold(gDamagedLock);
    Damaged().clear();
}
