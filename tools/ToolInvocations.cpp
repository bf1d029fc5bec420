#include "ToolInvocations.h"

#include "AppDirectory.h"
#include "ChildProcessRunner.h"
#include "KitLayout.h"

std::wstring DriverInstallerPath(const std::wstring& appDirectory)
{
    return appDirectory + L"\\" + KitInstallerPath(L'\\');
}

ToolInvocation DownloadToolInvocation(const std::wstring& appDirectory)
{
    // The image is named relative to the tool's folder, its working directory.
    const std::wstring toolDirectory = appDirectory + L"\\" + KitDownloadToolFolder;
    return {L"\"" + toolDirectory + L"\\" + KitDownloadToolName + L"\" -D ..\\" + KitFirmwarePath(L'\\') +
                L" -s :leave",
            toolDirectory};
}

bool RunDriverInstaller(const std::wstring& appDirectory, DWORD* exitCode)
{
    const std::wstring installerPath = DriverInstallerPath(appDirectory);
    return BatchFileRunner(installerPath, ParentDirectory(installerPath), exitCode);
}

bool RunDownloadTool(const std::wstring& appDirectory, DWORD* exitCode)
{
    const ToolInvocation download = DownloadToolInvocation(appDirectory);
    return ChildProcessRunner(download.commandLine, download.workingDirectory, exitCode);
}
