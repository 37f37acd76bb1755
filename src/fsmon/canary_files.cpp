#include "fsmon/canary_files.h"

#include <windows.h>

#include "core/clock.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/text.h"
#include "fsmon/canary_names.h"
#include "fsmon/self_paths.h"

std::wstring OwnCanaryKey(const std::wstring& folderKey, const std::wstring& relativeName) {
    std::wstring key = folderKey;
    if (!key.empty() && key.back() != L'\\') key += L'\\';
    return CanonicalPathKey(key + relativeName);
}

FileStamp CurrentFileStamp(const std::wstring& path) {
    FileStamp stamp;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return stamp;
    stamp.known = true;
    stamp.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.lastWrite =
        (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    return stamp;
}

bool IsOwnFreshCanary(const std::wstring& folderKey, const std::wstring& folder, const std::wstring& relativeName,
                      uint32_t action) {
    const std::wstring key = OwnCanaryKey(folderKey, relativeName);
    const int64_t now = NowSeconds();
    if (!IsFreshOwnCanary(key, now)) return false;
    return IsOwnCanaryChange(key, action, now, CurrentFileStamp(JoinPath(folder, relativeName)));
}

bool WriteNewTextFile(const std::wstring& path, const std::wstring& text) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    const std::string bytes = WideToUtf8(text);
    DWORD written = 0;
    const BOOL ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return ok && written == bytes.size();
}

void PlantCanaries(const std::wstring& folder, const Config& settings) {
    if (!settings.enableCanaryFiles || folder.empty()) return;
    const std::shared_ptr<const CanaryNameList> names = CanaryNames();
    std::wstring folderKey;  // resolved once, only when something is planted
    for (const std::wstring& name : *names) {
        if (!IsPlantableCanaryName(name)) continue;
        const std::wstring path = JoinPath(folder, name);
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        // Noted before the file exists, so that no watcher of this folder can
        // see the records of its creation first and take them for a touch.
        if (folderKey.empty()) folderKey = ResolvePathKey(folder);
        NoteOwnCanary(OwnCanaryKey(folderKey, name), NowSeconds());
        const std::wstring key = OwnCanaryKey(folderKey, name);
        if (!WriteNewTextFile(path, kCanaryFileText)) continue;
        NoteOwnCanaryWritten(key, CurrentFileStamp(path));
        LogEvent("canary_created", "\"folder\":\"" + JsonEscape(WideToUtf8(folder)) + "\",\"file\":\"" +
                                       JsonEscape(WideToUtf8(name)) + "\"");
    }
}

bool IsCanaryTouch(const ConfigSnapshot& settings, const std::wstring& relativeName) {
    return IsCanaryTouchAt(settings.enableCanaryFiles, gCoreState.canaryWarmupDeadline.load(), NowSeconds(),
                           relativeName);
}
