// The content check's worker (setting extendedDetection): the watchers hand
// it the files of each batch, and one thread reads two small samples of each
// file, judges them (fsmon/content_classifier.h), logs "content_check" for an
// encrypted-like file and raises "encrypted_content" when a watched tree holds
// two of them within a minute (fsmon/content_rules.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fsmon/content_rules.h"

// Queues the files of one batch and returns at once; the thread starts with
// the first work and never while the core stops. folder: the watched folder
// as its watcher names it; tree: its resolved key; items: relative to it.
void QueueContentChecks(const std::wstring& folder, const std::wstring& tree,
                        const std::vector<ContentCheckItem>& items);

// Ends the thread (CoreStop, after the watchers): what waits is dropped, a
// storm's drop count is logged, and the thread is waited for a bounded time,
// never by itself. A later QueueContentChecks starts a new one.
void StopContentChecks();

// The queue limit (tests lower it).
extern std::atomic<size_t> gContentQueueLimit;

// Counters over the process, read by tests and the benchmark.
struct ContentCheckCounters {
    std::atomic<uint64_t> queued{0};     // work accepted into the queue
    std::atomic<uint64_t> read{0};       // files sampled and judged
    std::atomic<uint64_t> retried{0};    // reads tried again (the file was locked)
    std::atomic<uint64_t> abandoned{0};  // locked files left alone after the retry
    std::atomic<uint64_t> dropped{0};    // work dropped beyond the queue limit
    std::atomic<uint64_t> encrypted{0};  // files judged encrypted-like
    std::atomic<uint64_t> busyUs{0};     // the worker's time on reads and judgements
};
extern ContentCheckCounters gContentCheckCounters;
void ResetContentCheckCounters();

// True once nothing waits and the worker is between files, within the time.
bool WaitContentChecksIdle(uint32_t timeoutMs);
