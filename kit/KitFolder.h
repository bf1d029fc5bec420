#pragma once

// The checks of a whole kit folder before it ships. The product reports
// nothing when a shipped tool cannot start or fails, so a kit with a broken
// image, a download tool that cannot load, or a missing installer would fail
// silently on every machine it reaches: this is the one place to catch it.

#include "DfuImage.h"
#include "DownloadToolCheck.h"
#include "DriverPackage.h"
#include "KitFiles.h"
#include "KitLayout.h"
#include "WindowsDlls.h"

#include <string>
#include <vector>

// What the checks found. The download tool's DLL lists (toolDlls,
// systemDlls, overriddenToolDlls) come from DownloadToolReport.
struct KitReport : DownloadToolReport {
    // One line per problem, each naming its file; empty when the kit is sound.
    std::vector<std::wstring> problems;
    DfuSeImage firmware;
    // Every file of the kit, sorted by path.
    std::vector<KitFile> files;
    // What does not refuse the kit but a maintainer should read, each line
    // naming its file.
    std::vector<std::wstring> warnings;
    DriverPackageReport driver;
};

KitReport CheckKit(const std::wstring& folder);
