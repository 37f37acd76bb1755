// Stands in for any other program in the process tests, benchmarks and
// scenarios: copies of it take any name (vssadmin.exe, notepad.exe, ...) and
// any command line, which it never reads. It sleeps VG_SLEEP_MS milliseconds
// (1000 when unset) and exits with 0.
#include <windows.h>

#include <cwchar>

int main() {
    wchar_t text[32] = {};
    const DWORD n = GetEnvironmentVariableW(L"VG_SLEEP_MS", text, 32);
    DWORD ms = 1000;
    if (n > 0 && n < 32) ms = static_cast<DWORD>(std::wcstoul(text, nullptr, 10));
    Sleep(ms);
    return 0;
}
