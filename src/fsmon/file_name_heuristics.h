// Name tests applied to every change record: does the name look like a
// ransom note, does it end in an encryptor-like extension. Pure.
#pragma once

#include <string>

// Folds A-Z to a-z and leaves every other code unit (non-ASCII included) alone.
std::wstring AsciiLower(const std::wstring& text);

bool IsRansomNoteLikeName(const std::wstring& relativeName);
bool HasEncryptedLikeExtension(const std::wstring& relativeName);
