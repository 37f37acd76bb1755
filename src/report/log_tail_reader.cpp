#include "report/log_tail_reader.h"

#include <algorithm>
#include <cstring>

namespace {

// The line whose bytes are `head` followed by `pieces` in reverse order (the
// later blocks were read first), with one trailing CR removed.
std::string JoinLine(const char* head, size_t headSize, std::vector<std::string>& pieces) {
    size_t total = headSize;
    for (const std::string& p : pieces) total += p.size();
    std::string line;
    line.reserve(total);
    line.append(head, headSize);
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) line += *it;
    pieces.clear();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

struct MemoryFile {
    const std::string* bytes;
};

bool ReadFromMemory(void* context, uint64_t offset, char* into, size_t size) {
    const std::string& bytes = *static_cast<MemoryFile*>(context)->bytes;
    if (offset > bytes.size() || size > bytes.size() - offset) return false;
    std::memcpy(into, bytes.data() + offset, size);
    return true;
}

}  // namespace

TailReadResult ReadTailBackwards(uint64_t fileSize, size_t maxLines, size_t blockBytes, ReadBlockFn read,
                                 void* context) {
    TailReadResult result;
    if (blockBytes == 0) blockBytes = kLogTailBlockBytes;
    std::vector<std::string> newestFirst;
    std::vector<std::string> pieces;  // the bytes of the line being gathered, newest block first
    bool trailing = true;             // the segment after the last LF is a line only when not empty
    std::vector<char> block(static_cast<size_t>(std::min<uint64_t>(blockBytes, fileSize)));
    uint64_t blockEnd = fileSize;
    while (newestFirst.size() < maxLines) {
        if (blockEnd == 0) {
            // The start of the file ends the oldest line.
            bool any = false;
            for (const std::string& p : pieces) any = any || !p.empty();
            if (!trailing || any) newestFirst.push_back(JoinLine("", 0, pieces));
            result.reachedStart = true;
            break;
        }
        const size_t size = static_cast<size_t>(std::min<uint64_t>(blockBytes, blockEnd));
        const uint64_t blockStart = blockEnd - size;
        if (!read(context, blockStart, block.data(), size)) {
            result.ok = false;
            result.lines.clear();
            return result;
        }
        result.bytesRead += size;
        size_t segmentEnd = size;  // the current line's bytes in this block end here
        for (size_t i = size; i-- > 0 && newestFirst.size() < maxLines;) {
            if (block[i] != '\n') continue;
            const char* head = block.data() + i + 1;
            const size_t headSize = segmentEnd - (i + 1);
            if (trailing) {
                bool any = headSize > 0;
                for (const std::string& p : pieces) any = any || !p.empty();
                if (any) newestFirst.push_back(JoinLine(head, headSize, pieces));
                trailing = false;
            } else {
                newestFirst.push_back(JoinLine(head, headSize, pieces));
            }
            pieces.clear();
            segmentEnd = i;
        }
        if (newestFirst.size() >= maxLines) break;
        if (segmentEnd > 0) pieces.emplace_back(block.data(), segmentEnd);
        blockEnd = blockStart;
    }
    result.lines.assign(newestFirst.rbegin(), newestFirst.rend());
    return result;
}

TailReadResult ReadTailBackwardsFrom(const std::string& bytes, size_t maxLines, size_t blockBytes) {
    MemoryFile file{&bytes};
    return ReadTailBackwards(bytes.size(), maxLines, blockBytes, ReadFromMemory, &file);
}
