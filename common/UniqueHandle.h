#pragma once

#include <windows.h>

#include <setupapi.h>

// Owns one handle of a kind described by Traits: closed exactly once, by the
// owner that holds it last; moving hands the handle on, copying is not
// possible.
template <typename Traits> class UniqueHandle {
public:
    using Type = typename Traits::Type;

    UniqueHandle() = default;
    explicit UniqueHandle(Type value) : value(value) {}
    UniqueHandle(UniqueHandle&& other) noexcept : value(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        Reset(other.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { Reset(); }

    [[nodiscard]] bool IsValid() const { return Traits::IsValid(value); }
    [[nodiscard]] Type Get() const { return value; }

    // For APIs that return the handle through an out-parameter; only valid on
    // an empty owner.
    Type* Put()
    {
        Reset();
        return &value;
    }

    Type Release()
    {
        Type old = value;
        value = Traits::Invalid();
        return old;
    }

    void Reset(Type next = Traits::Invalid())
    {
        if (IsValid()) {
            Traits::Close(value);
        }
        value = next;
    }

private:
    Type value = Traits::Invalid();
};

struct RegistryKeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type value) { return value != nullptr; }
    static void Close(Type value) { RegCloseKey(value); }
};

struct DeviceInfoSetTraits {
    using Type = HDEVINFO;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type value) { return value != INVALID_HANDLE_VALUE; }
    static void Close(Type value) { SetupDiDestroyDeviceInfoList(value); }
};

// Kernel objects whose failure value is null: events, processes, threads.
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type value) { return value != nullptr; }
    static void Close(Type value) { CloseHandle(value); }
};

// Files and devices opened by CreateFileW, whose failure value is
// INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type value) { return value != INVALID_HANDLE_VALUE; }
    static void Close(Type value) { CloseHandle(value); }
};

// Directory searches opened by FindFirstFileW.
struct FindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type value) { return value != INVALID_HANDLE_VALUE; }
    static void Close(Type value) { FindClose(value); }
};

using UniqueRegistryKey = UniqueHandle<RegistryKeyTraits>;
using UniqueDeviceInfoSet = UniqueHandle<DeviceInfoSetTraits>;
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;
