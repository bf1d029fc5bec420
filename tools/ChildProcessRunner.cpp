#include "ChildProcessRunner.h"

#include "UniqueHandle.h"

#include <array>

bool ChildProcessRunner(const std::wstring& commandLine, const std::wstring& workingDirectory, DWORD* exitCode)
{
    // CreateProcessW may write to the command line, so it gets a copy.
    std::array<wchar_t, MAX_PATH> commandBuffer{};
    const std::wstring text = commandLine.substr(0, commandLine.find(L'\0'));
    if (text.size() >= commandBuffer.size()) {
        return false;
    }
    text.copy(commandBuffer.data(), text.size());

    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    startupInfo.dwFlags = STARTF_USESHOWWINDOW;
    startupInfo.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION processInfo{};
    if (!CreateProcessW(nullptr, commandBuffer.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
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
