#include "ToolInvocations.h"

#include "AppDirectory.h"
#include "KitLayout.h"

ToolInvocation DriverInstallerInvocation(const std::wstring& appDirectory)
{
    const std::wstring installerPath = appDirectory + L"\\" + KitInstallerPath(L'\\');
    return {L"\"" + installerPath + L"\"", ParentDirectory(installerPath)};
}

ToolInvocation DownloadToolInvocation(const std::wstring& appDirectory)
{
    // The image is named relative to the tool's folder, its working directory.
    const std::wstring toolDirectory = appDirectory + L"\\" + KitDownloadToolFolder;
    return {L"\"" + toolDirectory + L"\\" + KitDownloadToolName + L"\" -D ..\\" + KitFirmwarePath(L'\\') +
                L" -s :leave",
            toolDirectory};
}
