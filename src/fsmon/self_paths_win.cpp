#include <windows.h>

#include <vector>

#include "core/handles.h"
#include "fsmon/self_paths.h"

std::wstring ResolvePathKey(const std::wstring& path) {
    if (path.empty()) return std::wstring();
    // No access rights needed to ask a handle for its name; backup semantics
    // let it open folders too.
    UniqueHandle handle(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle) {
        std::vector<wchar_t> buffer(MAX_PATH);
        for (int attempt = 0; attempt < 2; ++attempt) {
            const DWORD n = GetFinalPathNameByHandleW(handle.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
            if (n == 0) break;
            if (n < buffer.size()) return CanonicalPathKey(std::wstring(buffer.data(), n));
            buffer.resize(n + 1);
        }
    }
    wchar_t full[MAX_PATH * 4];
    const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(sizeof full / sizeof full[0]), full, nullptr);
    if (n > 0 && n < sizeof full / sizeof full[0]) return CanonicalPathKey(full);
    return CanonicalPathKey(path);
}

namespace {

bool SameNameAsTheFileSystem(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength) {
    return CompareStringOrdinal(a, static_cast<int>(aLength), b, static_cast<int>(bLength), TRUE) ==
           CSTR_EQUAL;
}

}  // namespace

SelfFilter MakeSelfFilterOnDisk(const std::wstring& watchedKey, const std::wstring& dataKey) {
    SelfFilter filter = MakeSelfFilter(watchedKey, dataKey);
    filter.sameName = SameNameAsTheFileSystem;
    std::wstring path = watchedKey;
    for (SelfFilter::Step& step : filter.steps) {
        if (!path.empty() && path.back() != L'\\') path += L'\\';
        path += step.longName;
        wchar_t shortPath[MAX_PATH * 4];
        const DWORD n = GetShortPathNameW(path.c_str(), shortPath, sizeof shortPath / sizeof shortPath[0]);
        if (n == 0 || n >= sizeof shortPath / sizeof shortPath[0])
            break;  // gone, or no short names: long names only
        std::wstring shortName(shortPath, n);
        const size_t cut = shortName.find_last_of(L'\\');
        if (cut != std::wstring::npos) shortName.erase(0, cut + 1);
        if (!SameNameAsTheFileSystem(shortName.data(), shortName.size(), step.longName.data(),
                                     step.longName.size()))
            step.shortName = shortName;
    }
    return filter;
}
