#include "tray/install_checks.h"

#include <cwchar>

namespace {

constexpr uint32_t kAttrDirectory = 0x10;      // FILE_ATTRIBUTE_DIRECTORY
constexpr uint32_t kAttrReparse = 0x400;       // FILE_ATTRIBUTE_REPARSE_POINT
constexpr uint32_t kAttrInvalid = 0xFFFFFFFF;  // INVALID_FILE_ATTRIBUTES
constexpr uint32_t kRegBinary = 3;             // REG_BINARY

std::wstring HashedName(const wchar_t* prefix, const std::wstring& path) {
    uint64_t hash = 1469598103934665603ull;  // FNV-1a over the case-folded path
    for (wchar_t c : path) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
        hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ull;
    }
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring name = prefix;
    for (int shift = 60; shift >= 0; shift -= 4) name += kHex[(hash >> shift) & 0xF];
    return name;
}

bool IsLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

}  // namespace

bool RefuseElevated(ElevationType token, bool allowElevated) {
    return token == ElevationType::Full && !allowElevated;
}

PurgeAction PurgeActionFor(uint32_t attributes) {
    if (attributes == kAttrInvalid) return PurgeAction::Nothing;
    if (attributes & kAttrReparse)
        return (attributes & kAttrDirectory) ? PurgeAction::RemoveFolderLink : PurgeAction::RemoveFileLink;
    if (attributes & kAttrDirectory) return PurgeAction::RemoveTree;
    return PurgeAction::Refuse;
}

StartupSwitch DecodeStartupApproved(bool present, uint32_t type, const uint8_t* data, size_t size) {
    if (!present) return StartupSwitch::NotSet;
    if (type != kRegBinary || data == nullptr || size == 0) return StartupSwitch::On;
    return (data[0] & 1) ? StartupSwitch::Off : StartupSwitch::On;
}

std::wstring AgentImageMutexName(const std::wstring& imagePath) {
    return HashedName(L"Local\\Vellumgard.agent.", imagePath);
}

std::wstring AgentDataMutexName(const std::wstring& dataDir) {
    return HashedName(L"Local\\Vellumgard.data.", dataDir);
}

bool IsAbsoluteFolderPath(const std::wstring& path) {
    if (path.size() >= 3 && IsLetter(path[0]) && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'))
        return true;
    // \\server\share: both parts named.
    if (path.size() >= 5 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\' && path[2] != L'?' &&
        path[2] != L'.') {
        const size_t share = path.find(L'\\', 2);
        return share != std::wstring::npos && share > 2 && share + 1 < path.size() &&
               path[share + 1] != L'\\';
    }
    return false;
}

std::wstring HelperCleanupValueName(const std::wstring& helperFolder) {
    std::wstring folder = helperFolder;
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    const size_t sep = folder.find_last_of(L"\\/");
    return sep == std::wstring::npos ? folder : folder.substr(sep + 1);
}

std::wstring HelperCleanupCommand(const std::wstring& cmdExe, const std::wstring& helperFolder) {
    return L"\"" + cmdExe + L"\" /d /q /c rd /s /q \"" + helperFolder + L"\"";
}
