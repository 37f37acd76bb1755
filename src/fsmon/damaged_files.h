// A short memory of the files found damaged: judged encrypted-like by the
// content check, or flagged by a rename rule. The pauser asks it which files
// of a tree were damaged around a handle listing (procmon/pause_rules.h).
// Pure (no Windows headers); thread-safe: each call takes one short lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int64_t kDamagedFileMemoryMs = 2 * 60 * 1000;  // kept for two minutes
constexpr size_t kDamagedFileMemoryLimit = 4096;         // and at most this many (oldest go first)

struct NotedDamage {
    std::wstring path;  // full path
    int64_t loggedMs = 0;
};

void NoteDamagedFile(const std::wstring& path, int64_t nowMs);
// Those noted within kDamagedFileMemoryMs of nowMs, oldest first.
std::vector<NotedDamage> RecentDamagedFiles(int64_t nowMs);
void ResetDamagedFiles();
