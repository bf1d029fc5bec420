#pragma once

// The kit's download tool (win64/dfu-util.exe), judged as the Windows loader
// starts it: an x86-64 console program whose imports, delay imports and
// forwarders all resolve, through win64 and through the DLLs that every
// Windows 10 and 11 x64 provides (WindowsDlls.h).

#include "PeImage.h"

#include <string>
#include <vector>

struct DownloadToolReport {
    // The DLLs the download tool loads from its own folder when it starts,
    // and the names it takes from Windows, in the order they were met.
    std::vector<std::wstring> toolDlls;
    std::vector<std::string> systemDlls;
    // DLLs in win64 that the loader passes over for Windows' own (KnownDLLs,
    // API sets).
    std::vector<std::wstring> overriddenToolDlls;
};

// Checks that the file at the kit path `path` is an x86-64 console program
// (or DLL) and reads it; every problem is added under the file's kit path.
// False when the file gives nothing more to judge.
bool CheckProgram(const std::wstring& folder, const std::wstring& path, bool isDll, std::vector<std::wstring>& problems,
                  PeImage& image);

// Judges the download tool of the kit folder and every DLL it reaches; each
// problem starts with the kit path of the file it was found in.
void CheckDownloadTool(const std::wstring& folder, std::vector<std::wstring>& problems, DownloadToolReport& report);
