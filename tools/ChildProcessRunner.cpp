#include "ChildProcessRunner.h"

#include "UniqueHandle.h"

#include <array>

namespace {

// Starts the child with a hidden window request in this program's console and
// waits for it without a time-out. CreateProcessW may write to commandLine.
bool StartAndWait(const wchar_t* applicationName, wchar_t* commandLine, const std::wstring& workingDirectory,
                  DWORD* exitCode)
{
    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    startupInfo.dwFlags = STARTF_USESHOWWINDOW;
    startupInfo.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION processInfo{};
    if (!CreateProcessW(applicationName, commandLine, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startupInfo, &processInfo)) {
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
    return L"\"" + interpreterPath + L"\" /d /c \"\"" + batchPath + L"\"\"";
}

bool BatchFileRunner(const std::wstring& batchPath, const std::wstring& workingDirectory, DWORD* exitCode)
{
    const std::wstring path = UpToFirstZero(batchPath);
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
