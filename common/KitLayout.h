#pragma once

// Where the files shipped beside TouchpadUpdater.exe lie, relative to its
// folder. The program finds them here and the kit checker proves them here,
// so both take the names from this one place.

#include <string>

inline constexpr wchar_t KitProgramName[] = L"TouchpadUpdater.exe";
inline constexpr wchar_t KitDriverFolder[] = L"Driver";
inline constexpr wchar_t KitInstallerName[] = L"infInstall.bat";
inline constexpr wchar_t KitDownloadToolFolder[] = L"win64";
inline constexpr wchar_t KitDownloadToolName[] = L"dfu-util.exe";
inline constexpr wchar_t KitFirmwareFolder[] = L"Firmware";
inline constexpr wchar_t KitFirmwareName[] = L"KestruneFirmware.dfu";

// "<folder><separator><name>": the program joins with backslashes, the
// checker reports with forward slashes.
inline std::wstring KitPath(const wchar_t* folder, wchar_t separator, const wchar_t* name)
{
    return std::wstring(folder) + separator + name;
}

inline std::wstring KitInstallerPath(wchar_t separator)
{
    return KitPath(KitDriverFolder, separator, KitInstallerName);
}

inline std::wstring KitDownloadToolPath(wchar_t separator)
{
    return KitPath(KitDownloadToolFolder, separator, KitDownloadToolName);
}

inline std::wstring KitFirmwarePath(wchar_t separator)
{
    return KitPath(KitFirmwareFolder, separator, KitFirmwareName);
}
