#include "fsmon/tree_listing.h"

#include <cstddef>

namespace {

// Big enough for a few hundred entries per call, small enough to keep a
// call short.
constexpr DWORD kListBufferBytes = 16 * 1024;

uint64_t TimeOf(const LARGE_INTEGER& t) {
    return static_cast<uint64_t>(t.QuadPart);
}

}  // namespace

bool OpenFolderReader(FolderReader& reader, const std::wstring& root, const std::wstring& relativeDir,
                      uint64_t windowStart) {
    const std::wstring path = relativeDir.empty() ? root : root + L"\\" + relativeDir;
    reader.dir.reset(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    reader.relativeDir = relativeDir;
    reader.windowStart = windowStart;
    reader.first = true;
    if (!reader.buffer) reader.buffer.reset(new uint64_t[kListBufferBytes / sizeof(uint64_t)]);
    return reader.dir.valid();
}

bool ReadFolderEntries(FolderReader& reader, std::vector<ListedEntry>& out) {
    if (!reader.dir) return false;
    // The full-directory class carries the change time of every entry without
    // opening it (Vista and later; Wine 8 has it too).
    const FILE_INFO_BY_HANDLE_CLASS infoClass =
        reader.first ? FileFullDirectoryRestartInfo : FileFullDirectoryInfo;
    reader.first = false;
    if (!GetFileInformationByHandleEx(reader.dir.get(), infoClass, reader.buffer.get(), kListBufferBytes)) {
        reader.dir.reset();  // no more entries, or the folder went away
        return false;
    }
    const uint8_t* base = reinterpret_cast<const uint8_t*>(reader.buffer.get());
    size_t offset = 0;
    for (;;) {
        const auto* info = reinterpret_cast<const FILE_FULL_DIR_INFO*>(base + offset);
        const size_t units = info->FileNameLength / sizeof(wchar_t);
        const bool dot = (units == 1 && info->FileName[0] == L'.') ||
                         (units == 2 && info->FileName[0] == L'.' && info->FileName[1] == L'.');
        if (!dot &&
            offset + offsetof(FILE_FULL_DIR_INFO, FileName) + info->FileNameLength <= kListBufferBytes) {
            ListedEntry entry;
            std::wstring name(info->FileName, units);
            entry.name = reader.relativeDir.empty() ? name : reader.relativeDir + L"\\" + name;
            entry.directory = (info->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            entry.reparsePoint = (info->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            entry.creation = TimeOf(info->CreationTime);
            entry.lastWrite = TimeOf(info->LastWriteTime);
            entry.change = TimeOf(info->ChangeTime);
            out.push_back(std::move(entry));
        }
        if (info->NextEntryOffset == 0 || offset + info->NextEntryOffset >= kListBufferBytes) break;
        offset += info->NextEntryOffset;
    }
    return true;
}

uint64_t FileTimeNow() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

uint64_t RecoveryMarginOf(const std::wstring& folder) {
    const bool remote = folder.compare(0, 2, L"\\\\") == 0 && folder.compare(0, 4, L"\\\\?\\") != 0;
    UniqueHandle dir(CreateFileW(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    wchar_t fileSystem[MAX_PATH + 1] = {};
    if (!dir || !GetVolumeInformationByHandleW(dir.get(), nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                                               MAX_PATH + 1))
        return RecoveryMarginTicks(L"", remote);
    wchar_t root[MAX_PATH] = {};
    const bool mappedShare =
        GetVolumePathNameW(folder.c_str(), root, MAX_PATH) && GetDriveTypeW(root) == DRIVE_REMOTE;
    return RecoveryMarginTicks(fileSystem, remote || mappedShare);
}
