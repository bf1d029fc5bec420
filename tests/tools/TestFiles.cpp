#include "TestFiles.h"

#include "UniqueHandle.h"

#include <winternl.h>

#include <algorithm>
#include <utility>
#include <vector>

std::wstring SelfPath()
{
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    return {path.data(), length < path.size() ? length : 0};
}

std::wstring SystemDrive()
{
    wchar_t windowsDirectory[MAX_PATH] = {};
    if (GetWindowsDirectoryW(windowsDirectory, MAX_PATH) < 2) {
        return {};
    }
    return {windowsDirectory, 2};
}

std::wstring CurrentDirectory()
{
    std::vector<wchar_t> path(32768);
    const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(path.size()), path.data());
    return {path.data(), length < path.size() ? length : 0};
}

std::wstring ExtendedPath(const std::wstring& path)
{
    if (path.compare(0, 2, L"\\\\") == 0) {
        return path;
    }
    // The prefix takes full paths only: one rooted on the current drive (as
    // a Unix path under Wine) gets that drive first.
    if (path.compare(0, 1, L"\\") == 0) {
        wchar_t root[MAX_PATH] = {};
        const DWORD length = GetFullPathNameW(L"\\", MAX_PATH, root, nullptr);
        return L"\\\\?\\" + std::wstring(root, length >= 2 && length < MAX_PATH ? 2 : 0) + path;
    }
    return L"\\\\?\\" + path;
}

std::wstring PathOfLength(const std::wstring& base, std::size_t length)
{
    if (length < base.size() + 2) {
        return length == base.size() ? base : std::wstring();
    }
    // Components of at most 100 units, each with its backslash; the last one
    // never shorter than one unit.
    std::wstring path = base;
    wchar_t letter = L'a';
    while (path.size() < length) {
        std::size_t take = std::min<std::size_t>(length - path.size(), 101);
        if (length - path.size() - take == 1) {
            --take;
        }
        path += L'\\';
        path.append(take - 1, letter);
        letter = letter == L'z' ? L'a' : static_cast<wchar_t>(letter + 1);
    }
    return path;
}

bool MakeDirectories(const std::wstring& path)
{
    // Past "X:\", every backslash ends one level.
    for (std::size_t end = path.find(L'\\', 3); end != std::wstring::npos; end = path.find(L'\\', end + 1)) {
        CreateDirectoryW(ExtendedPath(path.substr(0, end)).c_str(), nullptr);
    }
    CreateDirectoryW(ExtendedPath(path).c_str(), nullptr);
    const DWORD attributes = GetFileAttributesW(ExtendedPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {

// The trees are the tests' own, a few levels deep. A link or junction is
// left as it is, never followed: Wine removes or moves the folder a Unix
// link leads to, not the link.
bool RemoveExtendedTree(const std::wstring& path) // NOLINT(misc-no-recursion)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return DeleteFileW(path.c_str()) != FALSE;
    }
    std::vector<std::wstring> entries;
    WIN32_FIND_DATAW found{};
    {
        const UniqueFindHandle search(FindFirstFileW((path + L"\\*").c_str(), &found));
        if (search.IsValid()) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") {
                    entries.push_back(path + L"\\" + name);
                }
            } while (FindNextFileW(search.Get(), &found));
        }
    }
    bool removed = true;
    for (const std::wstring& entry : entries) {
        removed = RemoveExtendedTree(entry) && removed;
    }
    return RemoveDirectoryW(path.c_str()) != FALSE && removed;
}

} // namespace

bool RemoveTree(const std::wstring& path)
{
    return !path.empty() && RemoveExtendedTree(ExtendedPath(path));
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(ExtendedPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    const UniqueFileHandle file(CreateFileW(ExtendedPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file.IsValid() && WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool ReadBytes(const std::wstring& path, std::string& bytes)
{
    const UniqueFileHandle file(CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return false;
    }
    bytes.clear();
    char chunk[4096];
    DWORD received = 0;
    while (ReadFile(file.Get(), chunk, sizeof(chunk), &received, nullptr) && received > 0) {
        bytes.append(chunk, received);
    }
    return true;
}

bool CopySelfTo(const std::wstring& path)
{
    return CopyFileW(ExtendedPath(SelfPath()).c_str(), ExtendedPath(path).c_str(), TRUE) != FALSE;
}

namespace {

struct UserProcessInformation {
    ULONG length;
    HANDLE process;
    HANDLE thread;
    HANDLE clientIdProcess;
    HANDLE clientIdThread;
    BYTE imageInformation[64];
};

extern "C" {
NTSTATUS NTAPI RtlCreateProcessParameters(void** parameters, UNICODE_STRING* imagePathName, UNICODE_STRING* dllPath,
                                          UNICODE_STRING* currentDirectory, UNICODE_STRING* commandLine,
                                          void* environment, UNICODE_STRING* windowTitle, UNICODE_STRING* desktopInfo,
                                          UNICODE_STRING* shellInfo, UNICODE_STRING* runtimeData);
NTSTATUS NTAPI RtlDestroyProcessParameters(void* parameters);
NTSTATUS NTAPI RtlCreateUserProcess(UNICODE_STRING* ntImagePath, ULONG attributes, void* parameters,
                                    void* processSecurity, void* threadSecurity, HANDLE parentProcess,
                                    BOOLEAN inheritHandles, HANDLE debugPort, HANDLE exceptionPort,
                                    UserProcessInformation* information);
}

UNICODE_STRING Counted(std::wstring& text)
{
    UNICODE_STRING counted{};
    counted.Buffer = text.data();
    counted.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    counted.MaximumLength = counted.Length;
    return counted;
}

} // namespace

bool RunProgramAtAnyPath(const std::wstring& imagePath, const std::wstring& commandLine, DWORD& exitCode)
{
    std::wstring dosPath = imagePath;
    std::wstring ntPath = L"\\??\\" + imagePath;
    std::wstring command = commandLine;
    UNICODE_STRING dosName = Counted(dosPath);
    UNICODE_STRING ntName = Counted(ntPath);
    UNICODE_STRING commandText = Counted(command);
    void* parameters = nullptr;
    if (RtlCreateProcessParameters(&parameters, &dosName, nullptr, nullptr, &commandText, nullptr, nullptr, nullptr,
                                   nullptr, nullptr) != 0) {
        return false;
    }
    UserProcessInformation information{};
    information.length = sizeof(information);
    const NTSTATUS status =
        RtlCreateUserProcess(&ntName, 0, parameters, nullptr, nullptr, nullptr, FALSE, nullptr, nullptr, &information);
    RtlDestroyProcessParameters(parameters);
    if (status != 0) {
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    const UniqueKernelHandle process(information.process);
    const UniqueKernelHandle thread(information.thread);
    // The native call leaves the first thread suspended.
    return ResumeThread(thread.Get()) != static_cast<DWORD>(-1) &&
           WaitForSingleObject(process.Get(), INFINITE) == WAIT_OBJECT_0 &&
           GetExitCodeProcess(process.Get(), &exitCode);
}

ScratchDirectory::ScratchDirectory()
{
    static unsigned counter = 0;
    path = SystemDrive() + L"\\ToolTests." + std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++counter);
    RemoveTree(path);
    valid = CreateDirectoryW(path.c_str(), nullptr) != FALSE;
}

ScratchDirectory::~ScratchDirectory()
{
    RemoveTree(path);
}

namespace {
constexpr wchar_t machineEnvironmentKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
} // namespace

ScopedEnvironmentVariable::ScopedEnvironmentVariable(std::wstring name, const std::wstring& value, Scope scope)
    : name(std::move(name)), scope(scope)
{
    if (scope == Scope::Process) {
        SetEnvironmentVariableW(this->name.c_str(), value.c_str());
    } else {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, machineEnvironmentKey, this->name.c_str(), REG_SZ, value.c_str(),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable()
{
    if (scope == Scope::Process) {
        SetEnvironmentVariableW(name.c_str(), nullptr);
    } else {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, machineEnvironmentKey, name.c_str());
    }
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::wstring& path) : previous(CurrentDirectory())
{
    valid = !previous.empty() && SetCurrentDirectoryW(path.c_str()) != FALSE;
}

ScopedCurrentDirectory::~ScopedCurrentDirectory()
{
    if (valid) {
        SetCurrentDirectoryW(previous.c_str());
    }
}
