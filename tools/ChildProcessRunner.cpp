#include "ChildProcessRunner.h"

#include "SystemLibrary.h"
#include "UniqueHandle.h"

#include <userenv.h>

#include <algorithm>
#include <array>
#include <vector>

namespace {

// A block from CreateEnvironmentBlock, freed by its partner in userenv.dll.
struct EnvironmentBlockTraits {
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type value) { return value != nullptr; }
    static void Close(Type value)
    {
        auto* const destroy =
            SystemFunction<decltype(&DestroyEnvironmentBlock)>(L"userenv.dll", "DestroyEnvironmentBlock");
        if (destroy != nullptr) {
            destroy(value);
        }
    }
};

struct AttributeListTraits {
    using Type = LPPROC_THREAD_ATTRIBUTE_LIST;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type value) { return value != nullptr; }
    static void Close(Type value) { DeleteProcThreadAttributeList(value); }
};

using UniqueEnvironmentBlock = UniqueHandle<EnvironmentBlockTraits>;
using UniqueAttributeList = UniqueHandle<AttributeListTraits>;

// The machine's own environment, as CreateEnvironmentBlock builds it without
// a user token: the system's variables, none of this process's and none of
// the user's (HKCU\Environment, which any program of the user may change).
// userenv.dll is loaded from System32 when needed, never imported. Empty when
// the block cannot be made.
UniqueEnvironmentBlock MachineEnvironment()
{
    auto* const create = SystemFunction<decltype(&CreateEnvironmentBlock)>(L"userenv.dll", "CreateEnvironmentBlock");
    void* block = nullptr;
    if (create == nullptr || !create(&block, nullptr, FALSE)) {
        return {};
    }
    return UniqueEnvironmentBlock(block);
}

// The handles a child may inherit: this process's standard handles that are
// inheritable, each once, named in a process attribute list. Handles with
// both low bits set are Windows 7's console pseudo-handles (or
// INVALID_HANDLE_VALUE), which the list refuses; a console child gets those
// from its console anyway.
class InheritedHandleList {
public:
    InheritedHandleList()
    {
        for (const DWORD standard : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
            HANDLE handle = GetStdHandle(standard);
            DWORD flags = 0;
            if (handle != nullptr && (reinterpret_cast<ULONG_PTR>(handle) & 3) != 3 &&
                GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_INHERIT) != 0 &&
                std::find(handles.begin(), handles.end(), handle) == handles.end()) {
                handles.push_back(handle);
            }
        }
        if (handles.empty()) {
            return;
        }
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            return;
        }
        attributes.Reset(list);
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                       handles.size() * sizeof(HANDLE), nullptr, nullptr)) {
            attributes.Reset();
        }
    }

    [[nodiscard]] bool IsEmpty() const { return handles.empty(); }
    // Null when there is no handle to name or the list could not be made.
    [[nodiscard]] LPPROC_THREAD_ATTRIBUTE_LIST Attributes() const { return attributes.Get(); }

private:
    std::vector<HANDLE> handles;
    std::vector<char> storage;
    // Declared last, so deleted before the storage it lives in.
    UniqueAttributeList attributes;
};

// Starts the child with a hidden window request in this program's console,
// with the machine's environment and only the inheritable standard handles,
// and waits for it without a time-out. Nothing starts when either cannot be
// arranged. CreateProcessW may write to commandLine.
bool StartAndWait(const wchar_t* applicationName, wchar_t* commandLine, const std::wstring& workingDirectory,
                  DWORD* exitCode)
{
    const UniqueEnvironmentBlock environment = MachineEnvironment();
    if (!environment.IsValid()) {
        return false;
    }
    STARTUPINFOEXW startupInfo{};
    startupInfo.StartupInfo.cb = sizeof(startupInfo.StartupInfo);
    startupInfo.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
    startupInfo.StartupInfo.wShowWindow = SW_HIDE;
    DWORD creationFlags = NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT;
    const InheritedHandleList inherited;
    if (!inherited.IsEmpty()) {
        if (inherited.Attributes() == nullptr) {
            return false;
        }
        startupInfo.StartupInfo.cb = sizeof(startupInfo);
        startupInfo.lpAttributeList = inherited.Attributes();
        creationFlags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    PROCESS_INFORMATION processInfo{};
    if (!CreateProcessW(applicationName, commandLine, nullptr, nullptr, inherited.IsEmpty() ? FALSE : TRUE,
                        creationFlags, environment.Get(), workingDirectory.empty() ? nullptr : workingDirectory.c_str(),
                        &startupInfo.StartupInfo, &processInfo)) {
        return false;
    }
    const UniqueKernelHandle process(processInfo.hProcess);
    const UniqueKernelHandle thread(processInfo.hThread);

    WaitForSingleObject(process.Get(), INFINITE);
    if (exitCode != nullptr) {
        GetExitCodeProcess(process.Get(), exitCode);
    }
    return true;
}

std::wstring UpToFirstZero(const std::wstring& text)
{
    return text.substr(0, text.find(L'\0'));
}

} // namespace

bool ChildProcessRunner(const std::wstring& commandLine, const std::wstring& workingDirectory, DWORD* exitCode)
{
    // CreateProcessW may write to the command line, so it gets a copy.
    std::array<wchar_t, MAX_PATH> commandBuffer{};
    const std::wstring text = UpToFirstZero(commandLine);
    if (text.size() >= commandBuffer.size()) {
        return false;
    }
    text.copy(commandBuffer.data(), text.size());
    return StartAndWait(nullptr, commandBuffer.data(), workingDirectory, exitCode);
}

std::wstring InterpreterCommandLine(const std::wstring& interpreterPath, const std::wstring& batchPath)
{
    return L"\"" + interpreterPath + L"\" /d /e:on /v:off /s /c \"\"" + batchPath + L"\"\"";
}

bool BatchFileRunner(const std::wstring& batchPath, const std::wstring& workingDirectory, DWORD* exitCode)
{
    const std::wstring path = UpToFirstZero(batchPath);
    // The interpreter expands %NAME% in its command line even between
    // quotes, so such a path could name another batch file.
    if (path.find(L'%') != std::wstring::npos) {
        return false;
    }
    // The interpreter would report a missing batch file and end with an exit
    // code of its own: a batch file that is not there is not started at all.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    // The quoted path is held to the command-line limit of other programs.
    if (path.size() + 2 >= MAX_PATH) {
        return false;
    }
    // From the system itself: ComSpec and the search path are the user's.
    std::array<wchar_t, MAX_PATH> systemDirectory{};
    const UINT length = GetSystemDirectoryW(systemDirectory.data(), static_cast<UINT>(systemDirectory.size()));
    if (length == 0 || length >= systemDirectory.size()) {
        return false;
    }
    const std::wstring interpreter = std::wstring(systemDirectory.data(), length) + L"\\cmd.exe";
    // A writable copy as long as the whole line.
    std::wstring commandBuffer = InterpreterCommandLine(interpreter, path);
    return StartAndWait(interpreter.c_str(), commandBuffer.data(), workingDirectory, exitCode);
}
