#include "fsmon/canary_files.h"

#include <windows.h>

#include "core/clock.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/text.h"
#include "fsmon/canary_names.h"

namespace {

// A canary name must name a file directly in the folder: a separator, a
// drive or stream colon, or a dot-only name would plant it elsewhere.
bool IsPlainFileName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (const wchar_t c : name) {
        if (c < 0x20 || c == L'\\' || c == L'/' || c == L':') return false;
    }
    return true;
}

}  // namespace

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
    for (const std::wstring& name : *names) {
        if (!IsPlainFileName(name)) continue;
        const std::wstring path = JoinPath(folder, name);
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        if (!WriteNewTextFile(path, kCanaryFileText)) continue;
        LogEvent("canary_created", "\"folder\":\"" + JsonEscape(WideToUtf8(folder)) + "\",\"file\":\"" +
                                       JsonEscape(WideToUtf8(name)) + "\"");
    }
}

bool IsCanaryTouch(const ConfigSnapshot& settings, const std::wstring& relativeName) {
    return IsCanaryTouchAt(settings.enableCanaryFiles, gCoreState.canaryWarmupDeadline.load(), NowSeconds(),
                           relativeName);
}
