// Move-only owners for the platform's handles and COM objects. Copying is
// deleted, so a handle can never be closed twice; every path that leaves a
// scope releases what it took.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

// Kernel handles (files, events, threads). Both null and
// INVALID_HANDLE_VALUE count as "no handle".
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }
    HANDLE release() { return std::exchange(h_, nullptr); }
    void reset(HANDLE h = nullptr) {
        if (valid()) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

class UniqueFindHandle {
public:
    UniqueFindHandle() = default;
    explicit UniqueFindHandle(HANDLE h) : h_(h) {}
    ~UniqueFindHandle() {
        if (valid()) FindClose(h_);
    }
    UniqueFindHandle(const UniqueFindHandle&) = delete;
    UniqueFindHandle& operator=(const UniqueFindHandle&) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

class UniqueModule {
public:
    explicit UniqueModule(HMODULE m) : m_(m) {}
    ~UniqueModule() {
        if (m_) FreeLibrary(m_);
    }
    UniqueModule(const UniqueModule&) = delete;
    UniqueModule& operator=(const UniqueModule&) = delete;
    HMODULE get() const { return m_; }

private:
    HMODULE m_ = nullptr;
};

class UniqueMenu {
public:
    explicit UniqueMenu(HMENU m) : m_(m) {}
    ~UniqueMenu() {
        if (m_) DestroyMenu(m_);
    }
    UniqueMenu(const UniqueMenu&) = delete;
    UniqueMenu& operator=(const UniqueMenu&) = delete;
    HMENU get() const { return m_; }

private:
    HMENU m_ = nullptr;
};

// Memory returned by the shell (SHGetKnownFolderPath and friends).
class UniqueCoTaskMem {
public:
    UniqueCoTaskMem() = default;
    ~UniqueCoTaskMem() {
        if (p_) CoTaskMemFree(p_);
    }
    UniqueCoTaskMem(const UniqueCoTaskMem&) = delete;
    UniqueCoTaskMem& operator=(const UniqueCoTaskMem&) = delete;
    PWSTR* put() { return &p_; }
    PWSTR get() const { return p_; }

private:
    PWSTR p_ = nullptr;
};

// An open registry key.
class UniqueRegKey {
public:
    UniqueRegKey() = default;
    ~UniqueRegKey() {
        if (k_) RegCloseKey(k_);
    }
    UniqueRegKey(const UniqueRegKey&) = delete;
    UniqueRegKey& operator=(const UniqueRegKey&) = delete;
    HKEY get() const { return k_; }
    HKEY* put() { return &k_; }

private:
    HKEY k_ = nullptr;
};

// An argument vector from CommandLineToArgvW (one LocalAlloc block).
class UniqueArgv {
public:
    explicit UniqueArgv(LPWSTR* argv) : argv_(argv) {}
    ~UniqueArgv() {
        if (argv_) LocalFree(argv_);
    }
    UniqueArgv(const UniqueArgv&) = delete;
    UniqueArgv& operator=(const UniqueArgv&) = delete;
    LPWSTR* get() const { return argv_; }

private:
    LPWSTR* argv_;
};

// A COM interface pointer; Release on destruction.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out-parameters: releases what is held first.
    T** put() {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    void reset() {
        if (p_) {
            p_->Release();
            p_ = nullptr;
        }
    }

private:
    T* p_ = nullptr;
};

class UniqueBstr {
public:
    explicit UniqueBstr(const wchar_t* text) : b_(SysAllocString(text)) {}
    ~UniqueBstr() {
        if (b_) SysFreeString(b_);
    }
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;
    BSTR get() const { return b_; }

private:
    BSTR b_ = nullptr;
};

class UniqueVariant {
public:
    UniqueVariant() { VariantInit(&v_); }
    ~UniqueVariant() { VariantClear(&v_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    VARIANT* get() { return &v_; }
    const VARIANT& ref() const { return v_; }

private:
    VARIANT v_;
};

// COM initialisation of the calling thread; CoUninitialize only if it worked.
class ComInit {
public:
    explicit ComInit(DWORD model) : hr_(CoInitializeEx(nullptr, model)) {}
    ~ComInit() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    ComInit(const ComInit&) = delete;
    ComInit& operator=(const ComInit&) = delete;
    bool ok() const { return SUCCEEDED(hr_); }
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};
