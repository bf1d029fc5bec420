#pragma once

// The checks of a whole kit folder before it ships. The product reports
// nothing when a shipped tool cannot start or fails, so a kit with a broken
// image, a download tool that cannot load, or a missing installer would fail
// silently on every machine it reaches: this is the one place to catch it.

#include "DfuImage.h"
#include "DriverPackage.h"
#include "KitFiles.h"
#include "KitLayout.h"
#include "WindowsDlls.h"

#include <string>
#include <vector>

struct KitReport {
    // One line per problem, each naming its file; empty when the kit is sound.
    std::vector<std::wstring> problems;
    DfuSeImage firmware;
    // The DLLs the download tool loads from its own folder when it starts,
    // and the names it takes from Windows, in the order they were met.
    std::vector<std::wstring> toolDlls;
    std::vector<std::string> systemDlls;
    // DLLs in win64 that the loader passes over for Windows' own (KnownDLLs,
    // API sets).
    std::vector<std::wstring> overriddenToolDlls;
    // Every file of the kit, sorted by path.
    std::vector<KitFile> files;
    // What does not refuse the kit but a maintainer should read, each line
    // naming its file.
    std::vector<std::wstring> warnings;
    DriverPackageReport driver;
};

KitReport CheckKit(const std::wstring& folder);
