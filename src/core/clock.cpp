#include "core/clock.h"

#include <ctime>

#include "core/seams.h"

Seams gSeams;

#ifdef _WIN32
#include <windows.h>

int64_t NowSeconds() {
    if (gSeams.nowSeconds) return gSeams.nowSeconds();
    return static_cast<int64_t>(_time64(nullptr));
}

int64_t NowUnixMs() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000) - 11644473600000LL;  // 100 ns since 1601 -> ms since 1970
}

LocalTimeParts NowLocalParts() {
    if (gSeams.localTime) return gSeams.localTime();
    SYSTEMTIME st;
    GetLocalTime(&st);
    LocalTimeParts t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    return t;
}

uint32_t TickCount() {
    if (gSeams.tickCount) return gSeams.tickCount();
    return GetTickCount();
}

#else
#include <time.h>

int64_t NowSeconds() {
    if (gSeams.nowSeconds) return gSeams.nowSeconds();
    return static_cast<int64_t>(time(nullptr));
}

int64_t NowUnixMs() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

LocalTimeParts NowLocalParts() {
    if (gSeams.localTime) return gSeams.localTime();
    const time_t now = time(nullptr);
    struct tm tmv {};
    localtime_r(&now, &tmv);
    LocalTimeParts t;
    t.year = static_cast<unsigned>(tmv.tm_year + 1900);
    t.month = static_cast<unsigned>(tmv.tm_mon + 1);
    t.day = static_cast<unsigned>(tmv.tm_mday);
    t.hour = static_cast<unsigned>(tmv.tm_hour);
    t.minute = static_cast<unsigned>(tmv.tm_min);
    t.second = static_cast<unsigned>(tmv.tm_sec);
    return t;
}

uint32_t TickCount() {
    if (gSeams.tickCount) return gSeams.tickCount();
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}
#endif
