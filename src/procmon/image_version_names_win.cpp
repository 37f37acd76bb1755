// GetFileVersionInfoW maps the file's resources, which for a system file may
// come from its language resource (hence names such as "VSSADMIN.EXE.MUI").
// A resource larger than any real one is not read at all.
#include "procmon/image_version_names_win.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "core/config.h"

namespace {

constexpr DWORD kMaxVersionBytes = 1u << 20;
constexpr size_t kMaxNameChars = 260;

std::wstring QueryText(const std::vector<uint8_t>& block, const std::wstring& table, const wchar_t* name) {
    const std::wstring key = L"\\StringFileInfo\\" + table + L"\\" + name;
    void* value = nullptr;
    UINT chars = 0;
    if (!VerQueryValueW(block.data(), key.c_str(), &value, &chars) || value == nullptr || chars == 0)
        return std::wstring();
    const wchar_t* text = static_cast<const wchar_t*>(value);
    const size_t limit = chars < kMaxNameChars ? chars : kMaxNameChars;
    return std::wstring(text, wcsnlen(text, limit));
}

std::wstring TableName(WORD language, WORD codePage) {
    wchar_t buf[16];
    swprintf(buf, 16, L"%04x%04x", language, codePage);
    return buf;
}

}  // namespace

bool ReadImageVersionNames(const std::wstring& imagePath, std::wstring& originalFileName,
                           std::wstring& internalName) {
    originalFileName.clear();
    internalName.clear();
    if (imagePath.empty()) return false;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(imagePath.c_str(), &ignored);
    if (size == 0 || size > kMaxVersionBytes) return false;
    std::vector<uint8_t> block(size);
    if (!GetFileVersionInfoW(imagePath.c_str(), 0, size, block.data())) return false;

    std::vector<std::wstring> tables;
    struct Translation {
        WORD language;
        WORD codePage;
    };
    void* value = nullptr;
    UINT bytes = 0;
    if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &bytes) && value != nullptr)
        for (UINT i = 0; i + sizeof(Translation) <= bytes; i += sizeof(Translation)) {
            const Translation* t =
                reinterpret_cast<const Translation*>(static_cast<const uint8_t*>(value) + i);
            tables.push_back(TableName(t->language, t->codePage));
        }
    for (const wchar_t* usual : {L"040904b0", L"040904e4", L"04090000", L"000004b0"}) tables.push_back(usual);

    for (const std::wstring& table : tables) {
        originalFileName = QueryText(block, table, L"OriginalFilename");
        internalName = QueryText(block, table, L"InternalName");
        if (!originalFileName.empty() || !internalName.empty()) return true;
    }
    return false;
}

void AddImageVersionNames(ProcessInfo& info) {
    if (!gLiveConfig.extendedDetection.load() || info.path.empty()) return;
    ReadImageVersionNames(info.path, info.originalFileName, info.internalName);
}
