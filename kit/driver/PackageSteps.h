#pragma once

// The driver package's check in steps (DriverPackage.h says what it
// proves). DriverPackage.cpp finds the INFs and runs the steps below for
// each, in this order; then, once for the whole package, the installer
// script's. Each step has a file of its own:
//   the version section             PackageVersion.cpp
//   the models section per build    PackageModels.cpp
//   the install sections            PackageInstallSections.cpp
//   the files they copy             PackageFiles.cpp
//   the function driver             PackageFunctionDriver.cpp
//   the catalog and its signature   PackageCatalog.cpp
//   the installer script            PackageInstaller.cpp
// Every problem and warning starts with the kit path of its file.

#include "DriverPackage.h"
#include "InfFile.h"
#include "KitFiles.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

// The kit as every step sees it: its files, where they lie, and the problems
// and warnings found so far.
class CheckedKit {
public:
    CheckedKit(const std::wstring& kitFolder, const std::vector<KitFile>& files, std::vector<std::wstring>& problems,
               std::vector<std::wstring>& warnings);

    [[nodiscard]] const std::vector<KitFile>& Files() const { return files; }
    [[nodiscard]] std::wstring FullPath(const std::wstring& kitPath) const { return PathUnder(kitFolder, kitPath); }
    // The kit's file at this path (without case, as Windows finds it), or
    // null.
    [[nodiscard]] const KitFile* Find(const std::wstring& kitPath) const;
    // Each problem once, though several builds may meet it.
    void Problem(const std::wstring& path, const std::wstring& text);
    void Warning(const std::wstring& path, const std::wstring& text);

    // Per INF path: the reason, per build, that it does not bind (the
    // models step notes them, the coverage check reads them).
    std::map<std::wstring, std::vector<std::pair<unsigned, std::wstring>>> misses;

private:
    const std::wstring& kitFolder;
    const std::vector<KitFile>& files;
    std::vector<std::wstring>& problems;
    std::vector<std::wstring>& warnings;
};

// ---- the version section: sets the INF's class, provider, DriverVer and
// the kit path of its catalog.
void CheckVersion(CheckedKit& kit, const InfFile& file, DriverInf& inf);

// ---- the models section per build
void CheckDecorations(CheckedKit& kit, const InfFile& file, const std::wstring& path);
DriverBuildChoice ChooseModels(CheckedKit& kit, const InfFile& file, const std::wstring& path, unsigned build);
void CheckCoverage(CheckedKit& kit, const std::vector<DriverInf>& candidates);

// ---- the install sections: the one Windows x64 runs, then its companions,
// its files and its function driver.
std::wstring InstallSection(CheckedKit& kit, const InfFile& file, const std::wstring& path, const std::wstring& name);
DriverInstall CheckInstall(CheckedKit& kit, const InfFile& file, const std::wstring& path, const std::wstring& base,
                           const std::wstring& section);

// ---- the files they copy
void CheckCopies(CheckedKit& kit, const InfFile& file, const std::wstring& path, const std::wstring& section,
                 DriverInstall& install);

// ---- the function driver
void CheckFunctionDriver(CheckedKit& kit, const InfFile& file, const std::wstring& path, const std::wstring& section,
                         DriverInstall& install);

// ---- the catalog and its signature
void CheckCatalog(CheckedKit& kit, DriverInf& inf);

// ---- the installer script: fills the report's installer lists.
void CheckInstaller(CheckedKit& kit, DriverPackageReport& report);

// ---- text the steps share

// A path relative to a folder of the driver package, resolved to a kit
// path; false when it leaves the driver folder.
bool Resolve(const std::wstring& folder, const std::wstring& relative, std::wstring& kitPath);
std::wstring Lower(std::wstring text);
bool EndsWithText(const std::wstring& text, const std::wstring& end);
std::wstring FileName(const std::wstring& path);
// The folder of a kit path; empty text for a path without one.
std::wstring Folder(const std::wstring& kitPath);
// "[name]"
std::wstring Section(const std::wstring& name);
// "a, b and c"
std::wstring List(const std::vector<std::wstring>& items);
bool ReadNumberField(const std::wstring& text, unsigned& value);
