#pragma once

#include <string>

// How one shipped tool is started: its whole command line and the directory
// it runs in.
struct ToolInvocation {
    std::wstring commandLine;
    std::wstring workingDirectory;
};

// Both program paths are quoted, so that a kit directory with blanks cannot
// make the system run another program named by a prefix of the path.

// "<kit>\Driver\infInstall.bat", run in <kit>\Driver.
ToolInvocation DriverInstallerInvocation(const std::wstring& appDirectory);

// "<kit>\win64\dfu-util.exe" with the firmware image relative to <kit>\win64,
// run in <kit>\win64.
ToolInvocation DownloadToolInvocation(const std::wstring& appDirectory);
