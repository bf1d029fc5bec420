#pragma once

// Windows x64's rules for choosing the sections of an INF, written out here
// because SetupAPI under Wine ignores the platform and the OS versions of the
// decorations. Plain text in, plain values out.

#include <array>
#include <string>
#include <vector>

// The bootloader's hardware ID, which the driver package must bind.
inline constexpr wchar_t BootloaderDeviceId[] = L"USB\\VID_0483&PID_DF11";

// Windows 10 and 11 x64 builds the choice of models section is reported for:
// the first release, 1809 (LTSC 2019), 22H2 and 11 24H2. All are 10.0.
inline constexpr std::array<unsigned, 4> ReportedBuilds = {10240, 17763, 19045, 26100};

// A [Manufacturer] decoration NT<arch>[.major[.minor[.product[.suite[.build]]]]].
struct TargetOsDecoration {
    bool valid = false; // "NT" followed by an architecture or nothing, numbers in their places
    bool amd64 = false;
    unsigned major = 0;
    unsigned minor = 0;
    unsigned productType = 0; // 0: any
    unsigned suiteMask = 0;   // 0: any
    unsigned build = 0;
    bool hasBuild = false;
};

TargetOsDecoration ReadTargetOsDecoration(const std::wstring& text);

// The index of the decoration Windows 10/11 x64 of this build chooses among
// those of one [Manufacturer] line: the applicable one with the highest OS
// version, then build, then with a product type, then with a suite mask.
// -1 when none applies.
int ChooseDecoration(const std::vector<std::wstring>& decorations, unsigned build);

enum class IdMatch {
    None,
    Device,      // the bootloader's ID itself
    RevisionOnly // the ID with a &REV_xxxx suffix: only that revision
};

IdMatch MatchBootloaderId(const std::wstring& id);

// "X.NTamd64", "X.NT" and "X": the install section names Windows x64 tries,
// in order.
std::vector<std::wstring> InstallSectionCandidates(const std::wstring& name);

// The DIRIDs the checks name: the Windows folder, System32, the drivers
// folder and SysWOW64.
inline constexpr unsigned DirIdWindows = 10;
inline constexpr unsigned DirIdSystem32 = 11;
inline constexpr unsigned DirIdDrivers = 12;
inline constexpr unsigned DirIdSysWow64 = 16425;

// The system folder a DIRID names, for the report ("drivers" for 12).
std::wstring DirIdName(unsigned dirId);
