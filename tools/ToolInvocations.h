#pragma once

#include <windows.h>

#include <string>

// How the download tool is started: its whole command line and the directory
// it runs in.
struct ToolInvocation {
    std::wstring commandLine;
    std::wstring workingDirectory;
};

// "<kit>\Driver\infInstall.bat", the batch file that installs the driver.
std::wstring DriverInstallerPath(const std::wstring& appDirectory);

// "<kit>\win64\dfu-util.exe" with the firmware image relative to <kit>\win64,
// run in <kit>\win64. The program path is quoted, so that a kit directory
// with blanks cannot make the system run another program named by a prefix
// of the path.
ToolInvocation DownloadToolInvocation(const std::wstring& appDirectory);

// The two shipped tools of the kit in appDirectory, each run as the update
// runs it, with the runners' result and exit code: the driver installer
// through BatchFileRunner in its own folder, the download tool through
// ChildProcessRunner.
bool RunDriverInstaller(const std::wstring& appDirectory, DWORD* exitCode);
bool RunDownloadTool(const std::wstring& appDirectory, DWORD* exitCode);
