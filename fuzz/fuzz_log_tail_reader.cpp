// The backwards log-tail reader on arbitrary bytes: the same lines as the
// whole-file reader, for any block size and any number of lines asked for,
// at a cost of the returned lines plus one block.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "report/log_tail_reader.h"
#include "report/report_compose.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // Block size and line count from the first two bytes; the rest is the log.
    const size_t block = static_cast<size_t>(data[0] % 33) + 1;
    const size_t want = static_cast<size_t>(data[1]) % kLogTailLines + 1;  // the reference keeps 200
    const std::string log = BytesOf(data + 2, size - 2);

    LogTailCollector collector;
    FeedLogTail(collector, log.data(), log.size());
    const std::vector<std::string> reference = FinishLogTail(collector);

    const TailReadResult all = ReadTailBackwardsFrom(log, kLogTailLines, block);
    FUZZ_CHECK(all.ok);
    FUZZ_CHECK(all.lines == reference);

    const TailReadResult few = ReadTailBackwardsFrom(log, want, block);
    const size_t n = std::min(want, reference.size());
    FUZZ_CHECK(few.lines == std::vector<std::string>(reference.end() - n, reference.end()));
    uint64_t lineBytes = 0;
    for (const std::string& l : few.lines) lineBytes += l.size() + 2;
    FUZZ_CHECK(few.bytesRead <= lineBytes + block);
    FUZZ_CHECK(few.bytesRead <= log.size());
    return 0;
}
