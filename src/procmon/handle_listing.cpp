#include "procmon/handle_listing.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

#include "core/clock.h"
#include "core/core_lifecycle.h"
#include "core/handles.h"
#include "procmon/pause_rules.h"

namespace {

using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
using NtQueryObjectFn = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr ULONG kObjectTypeInformation = 2;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr size_t kMaxListingBytes = 256u << 20;

struct HandleEntryEx {
    PVOID object;
    ULONG_PTR pid;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};
struct HandleInfoEx {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntryEx handles[1];
};

struct NtCalls {
    NtQuerySystemInformationFn querySystem = nullptr;
    NtQueryObjectFn queryObject = nullptr;
};

const NtCalls& Nt() {
    static const NtCalls calls = [] {
        NtCalls c;
        if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
            c.querySystem = reinterpret_cast<NtQuerySystemInformationFn>(
                reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
            c.queryObject = reinterpret_cast<NtQueryObjectFn>(
                reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryObject")));
        }
        return c;
    }();
    return calls;
}

struct RawHandle {
    int32_t pid;
    uintptr_t handle;
    uint32_t access;
};

// The work one worker does, shared with the caller, who may stop waiting.
struct NameJob {
    std::vector<RawHandle> handles;
    std::mutex lock;
    std::vector<ListedFileHandle> named;  // under lock
    UniqueHandle done;
};

std::atomic<size_t> gNameWorkersRunning{0};

bool IsFileType(HANDLE h) {
    alignas(8) unsigned char buffer[1024];
    ULONG needed = 0;
    if (!Nt().queryObject || Nt().queryObject(h, kObjectTypeInformation, buffer, sizeof buffer, &needed) < 0)
        return false;
    // The type's name is a UNICODE_STRING at the start.
    const USHORT bytes = *reinterpret_cast<const USHORT*>(buffer);
    const wchar_t* text = *reinterpret_cast<wchar_t* const*>(buffer + sizeof(void*));
    if (!text || bytes != 4 * sizeof(wchar_t)) return false;
    return std::wstring(text, 4) == L"File";
}

void NameOne(HANDLE owner, const RawHandle& raw, NameJob& job) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(owner, reinterpret_cast<HANDLE>(raw.handle), GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return;
    UniqueHandle dup(copy);
    if (!IsFileType(dup.get()) || GetFileType(dup.get()) != FILE_TYPE_DISK) return;
    std::wstring path(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(dup.get(), &path[0], static_cast<DWORD>(path.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= path.size()) return;
    path.resize(n);
    ListedFileHandle f;
    f.pid = raw.pid;
    f.path = NormalizeHandlePath(path);
    f.access = raw.access;
    std::lock_guard<std::mutex> hold(job.lock);
    job.named.push_back(std::move(f));
}

uint32_t NameWorkerMain(void* arg) {
    std::unique_ptr<std::shared_ptr<NameJob>> own(static_cast<std::shared_ptr<NameJob>*>(arg));
    NameJob& job = **own;
    try {
        int32_t openPid = -1;
        UniqueHandle owner;
        for (const RawHandle& raw : job.handles) {
            if (raw.pid != openPid) {
                openPid = raw.pid;
                owner.reset(OpenProcess(PROCESS_DUP_HANDLE, FALSE, static_cast<DWORD>(raw.pid)));
            }
            if (owner) NameOne(owner.get(), raw, job);
        }
    } catch (...) {
    }
    SetEvent(job.done.get());
    --gNameWorkersRunning;
    return 0;
}

// The system-wide listing, filtered to `pids` (sorted).
bool TakeListing(const std::vector<int32_t>& pids, std::vector<RawHandle>& out) {
    if (!Nt().querySystem) return false;
    std::vector<unsigned char> buffer(1u << 20);
    for (;;) {
        ULONG needed = 0;
        const LONG status = Nt().querySystem(kSystemExtendedHandleInformation, buffer.data(),
                                             static_cast<ULONG>(buffer.size()), &needed);
        if (status == kStatusInfoLengthMismatch && buffer.size() < kMaxListingBytes) {
            buffer.resize(
                std::min(kMaxListingBytes, std::max<size_t>(buffer.size() * 2, needed + (64u << 10))));
            continue;
        }
        if (status < 0) return false;
        break;
    }
    const HandleInfoEx* info = reinterpret_cast<const HandleInfoEx*>(buffer.data());
    const size_t room = (buffer.size() - offsetof(HandleInfoEx, handles)) / sizeof(HandleEntryEx);
    const size_t count = std::min<size_t>(info->count, room);
    for (size_t i = 0; i < count; ++i) {
        const HandleEntryEx& e = info->handles[i];
        const int32_t pid = static_cast<int32_t>(e.pid);
        if (std::binary_search(pids.begin(), pids.end(), pid))
            out.push_back({pid, static_cast<uintptr_t>(e.handle), e.grantedAccess});
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const RawHandle& a, const RawHandle& b) { return a.pid < b.pid; });
    return true;
}

}  // namespace

size_t RunningNameWorkers() {
    return gNameWorkersRunning.load();
}

FileHandleListing ListFileHandles(const std::vector<int32_t>& pids, uint32_t deadlineMs) {
    FileHandleListing result;
    if (pids.empty() || gNameWorkersRunning.load() >= kMaxStuckNameWorkers) return result;
    std::vector<int32_t> sorted = pids;
    std::sort(sorted.begin(), sorted.end());
    auto job = std::make_shared<NameJob>();
    result.listedMs = NowUnixMs();
    if (!TakeListing(sorted, job->handles)) return result;
    result.listed = true;
    if (job->handles.empty()) {
        result.complete = true;
        return result;
    }
    job->done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!job->done) {
        result.listed = false;
        return result;
    }
    const HANDLE done = job->done.get();
    auto* arg = new std::shared_ptr<NameJob>(job);
    ++gNameWorkersRunning;
    HANDLE thread = static_cast<HANDLE>(StartWorkerThread(NameWorkerMain, arg, nullptr));
    if (!thread) {
        --gNameWorkersRunning;
        delete arg;
        result.listed = false;
        return result;
    }
    CloseHandle(thread);
    result.complete = WaitForSingleObject(done, deadlineMs) == WAIT_OBJECT_0;
    std::lock_guard<std::mutex> hold(job->lock);
    result.files = job->named;  // what was named in time; a stuck worker goes on with its own copy
    return result;
}
