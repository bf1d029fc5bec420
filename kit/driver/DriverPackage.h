#pragma once

// The kit's driver package (Driver/), proven as Windows 10 and 11 x64 will
// take it: the updater runs Driver\infInstall.bat when the bootloader shows
// up without a driver, and the download tool can open the bootloader only
// through WinUSB, libusbK or libusb0. A package that binds another driver,
// or none, on any build fails every update silently.
//
// Checked: every INF opens as a Windows NT INF with a sound [Version]; at
// least one binds USB\VID_0483&PID_DF11 through the models section that each
// reported build chooses; its install section for x64 exists with companions
// of the same decoration; every file it copies is in the folder and of the
// right architecture; its function driver is WinUSB, libusbK or libusb0; its
// catalog is signed, its signature covers the member list, and a member holds
// the digest of the INF and of every copied file; and the batch file names
// only files that are there.

#include "DriverCatalog.h"
#include "KitFiles.h"

#include <string>
#include <vector>

// The catalog member that covers a file: its name and digest.
struct DriverCatalogCover {
    std::wstring member;
    std::wstring digest; // "SHA256 image digest 3F0A..."
};

struct DriverFile {
    std::wstring path; // in the kit, forward slashes
    // Where it goes: a DIRID (System32, drivers and SysWOW64 below the
    // Windows folder count as theirs), a folder below it, and a name.
    unsigned dirId = 0;
    std::wstring subFolder;
    std::wstring name;
    std::wstring destination; // all of it as text: "%12%\libusbK.sys (drivers)"
    std::string sha256;
    DriverCatalogCover cover;
};

struct DriverBuildChoice {
    unsigned build = 0;
    std::wstring modelsSection;  // empty when none applies
    std::wstring matchedId;      // as the INF writes it; empty when none
    bool compatibleId = false;   // matched as a compatible, not a hardware, ID
    std::wstring installSection; // the decorated section Windows x64 runs
};

struct DriverInstall {
    std::wstring section;        // decorated
    std::wstring functionDriver; // "WinUSB", "libusbK" or "libusb0"
    std::wstring service;        // how the INF names it
    std::vector<DriverFile> files;
};

struct DriverInf {
    std::wstring path;
    std::string sha256;
    std::wstring className;
    std::wstring classGuid;
    std::wstring provider;
    std::wstring driverVer;
    std::wstring catalogPath; // in the kit
    DriverCatalogCover cover; // of the INF itself
    CatalogSigner signer;
    std::wstring osAttribute;
    std::vector<DriverBuildChoice> builds;
    std::vector<DriverInstall> installs;
};

struct DriverPackageReport {
    // The INFs that bind the bootloader on at least one reported build.
    std::vector<DriverInf> infs;
    // What the batch file installs and runs, as found in the folder, and the
    // system tools it uses.
    std::vector<std::wstring> installerInfs;
    std::vector<std::wstring> installerFiles;
    std::vector<std::wstring> installerTools;
};

// `files` lists the kit's files; each problem and warning
// starts with the kit path of its file.
void CheckDriverPackage(const std::wstring& kitFolder, const std::vector<KitFile>& files,
                        std::vector<std::wstring>& problems, std::vector<std::wstring>& warnings,
                        DriverPackageReport& report);
