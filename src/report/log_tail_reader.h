// The report's tail of the event log, read backwards from the end of the file
// in blocks. It stops at the LF that starts the oldest line it returns, so
// its cost is the bytes of those lines plus at most one block, whatever the
// size of the log. The lines are exactly those the whole-file reader
// (FeedLogTail, FinishLogTail) gives on the same bytes: LF ends a line, one
// CR before it goes, a last line without LF counts, bytes are kept as they
// are (invalid UTF-8 included).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Fills `size` bytes of the file at `offset` into `into`. False on failure.
using ReadBlockFn = bool (*)(void* context, uint64_t offset, char* into, size_t size);

struct TailReadResult {
    bool ok = true;                  // false when a block could not be read (lines then empty)
    std::vector<std::string> lines;  // file order
    uint64_t bytesRead = 0;          // what the blocks cost
    bool reachedStart = false;       // every line of the file is in `lines`
};

constexpr size_t kLogTailBlockBytes = 64 * 1024;

// The last `maxLines` lines of the first `fileSize` bytes of a file.
TailReadResult ReadTailBackwards(uint64_t fileSize, size_t maxLines, size_t blockBytes, ReadBlockFn read,
                                 void* context);

// The same over bytes in memory (tests, the fuzz target).
TailReadResult ReadTailBackwardsFrom(const std::string& bytes, size_t maxLines, size_t blockBytes);
