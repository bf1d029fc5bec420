#include "ToolInvocations.h"

#include "AppDirectory.h"

ToolInvocation DriverInstallerInvocation(const std::wstring& appDirectory)
{
    const std::wstring installerPath = appDirectory + L"\\Driver\\infInstall.bat";
    return {L"\"" + installerPath + L"\"", ParentDirectory(installerPath)};
}

ToolInvocation DownloadToolInvocation(const std::wstring& appDirectory)
{
    const std::wstring toolDirectory = appDirectory + L"\\win64";
    return {L"\"" + toolDirectory + L"\\dfu-util.exe\"" + L" -D ..\\Firmware\\KestruneFirmware.dfu -s :leave",
            toolDirectory};
}
