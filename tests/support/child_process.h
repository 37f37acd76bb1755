// Tests that need a second process start a copy of their own program running
// one test. Windows only; header-only, for the test programs that use it.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

// Starts a copy of this test program running the tests the filter names, with
// one environment variable set for it (and cleared again here).
inline PROCESS_INFORMATION StartChild(const wchar_t* filter, const wchar_t* variable, const std::wstring& value) {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    SetEnvironmentVariableW(variable, value.c_str());
    std::wstring cmd = L"\"" + std::wstring(exe) + L"\" --gtest_filter=" + filter;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    EXPECT_TRUE(CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    SetEnvironmentVariableW(variable, nullptr);
    return pi;
}
