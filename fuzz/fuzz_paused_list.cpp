// The paused list read back from the data folder, on arbitrary bytes: every
// program read has a positive pid and times, and what is written of it reads
// back the same after one round (tabs and line ends inside fields became
// spaces the first time).
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "procmon/pause_records.h"

namespace {

bool Same(const std::vector<PausedProgram>& a, const std::vector<PausedProgram>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].pid != b[i].pid || a[i].startedMs != b[i].startedMs || a[i].pausedMs != b[i].pausedMs ||
            a[i].path != b[i].path || a[i].evidence != b[i].evidence || a[i].incident != b[i].incident)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<PausedProgram> first = ParsePausedList(BytesOf(data, size));
    for (const PausedProgram& p : first) FUZZ_CHECK(p.pid > 0 && p.startedMs > 0 && p.pausedMs > 0);
    const std::vector<PausedProgram> second = ParsePausedList(FormatPausedList(first));
    FUZZ_CHECK(second.size() == first.size());
    FUZZ_CHECK(Same(ParsePausedList(FormatPausedList(second)), second));
    return 0;
}
