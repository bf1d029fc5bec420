#include "InfRules.h"

#include <cwctype>
#include <tuple>

namespace {

// Windows 10 and 11 report version 10.0 and the workstation product type.
constexpr unsigned WindowsMajor = 10;
constexpr unsigned WindowsMinor = 0;
constexpr unsigned WorkstationProductType = 1;
// Windows 10 1607 (build 14310 on) reads the build field; earlier builds do
// not know it and take the whole decoration as invalid.
constexpr unsigned FirstBuildWithBuildField = 14310;
constexpr std::size_t MaxVersionFields = 5;

std::wstring Lower(std::wstring text)
{
    for (wchar_t& letter : text) {
        letter = static_cast<wchar_t>(std::towlower(letter));
    }
    return text;
}

// A decimal or 0x-hex number, as INF files write them; false otherwise.
bool ReadNumber(const std::wstring& text, unsigned& value)
{
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const std::size_t start = hex ? 2 : 0;
    if (text.size() == start || text.size() - start > (hex ? 8U : 9U)) {
        return false;
    }
    value = 0;
    for (std::size_t index = start; index < text.size(); ++index) {
        const wchar_t digit = text[index];
        unsigned digitValue = 0;
        if (digit >= L'0' && digit <= L'9') {
            digitValue = digit - L'0';
        } else if (hex && std::iswxdigit(digit)) {
            digitValue = static_cast<unsigned>(std::towlower(digit) - L'a' + 10);
        } else {
            return false;
        }
        value = value * (hex ? 16U : 10U) + digitValue;
    }
    return true;
}

std::vector<std::wstring> SplitDots(const std::wstring& text)
{
    std::vector<std::wstring> parts(1);
    for (const wchar_t letter : text) {
        if (letter == L'.') {
            parts.emplace_back();
        } else {
            parts.back().push_back(letter);
        }
    }
    return parts;
}

// Why a decoration is not used on a Windows 10/11 x64 workstation of this
// build; empty text when it applies.
std::wstring DecorationNotApplicable(const TargetOsDecoration& decoration, unsigned build)
{
    if (!decoration.valid) {
        return L"not a valid decoration";
    }
    if (!decoration.amd64) {
        return L"not for x64 (Windows x64 takes only NTamd64 models sections)";
    }
    if (std::tie(decoration.major, decoration.minor) > std::tie(WindowsMajor, WindowsMinor)) {
        return L"for a newer Windows than 10.0";
    }
    if (decoration.hasBuild) {
        if (build < FirstBuildWithBuildField) {
            return L"a build number, which builds before 14310 do not read";
        }
        if (std::tie(decoration.major, decoration.minor) == std::tie(WindowsMajor, WindowsMinor) &&
            decoration.build > build) {
            return L"for build " + std::to_wstring(decoration.build) + L" and later";
        }
    }
    if (decoration.productType != 0 && decoration.productType != WorkstationProductType) {
        return L"for product type " + std::to_wstring(decoration.productType) + L", not a workstation";
    }
    if (decoration.suiteMask != 0) {
        return L"only for editions with suite mask " + std::to_wstring(decoration.suiteMask);
    }
    return {};
}

} // namespace

TargetOsDecoration ReadTargetOsDecoration(const std::wstring& text)
{
    TargetOsDecoration decoration;
    const std::vector<std::wstring> parts = SplitDots(text);
    const std::wstring platform = Lower(parts[0]);
    if (platform.rfind(L"nt", 0) != 0 || parts.size() - 1 > MaxVersionFields) {
        return decoration;
    }
    const std::wstring architecture = platform.substr(2);
    if (!architecture.empty() && architecture != L"x86" && architecture != L"amd64" && architecture != L"ia64" &&
        architecture != L"arm" && architecture != L"arm64") {
        return decoration;
    }
    decoration.amd64 = architecture == L"amd64";
    unsigned* const fields[MaxVersionFields] = {&decoration.major, &decoration.minor, &decoration.productType,
                                                &decoration.suiteMask, &decoration.build};
    for (std::size_t index = 1; index < parts.size(); ++index) {
        if (!parts[index].empty() && !ReadNumber(parts[index], *fields[index - 1])) {
            return decoration;
        }
    }
    decoration.hasBuild = parts.size() == MaxVersionFields + 1 && !parts.back().empty();
    decoration.valid = true;
    return decoration;
}

int ChooseDecoration(const std::vector<std::wstring>& decorations, unsigned build)
{
    int chosen = -1;
    std::tuple<unsigned, unsigned, unsigned, bool, bool> best{};
    for (std::size_t index = 0; index < decorations.size(); ++index) {
        const TargetOsDecoration decoration = ReadTargetOsDecoration(decorations[index]);
        if (!DecorationNotApplicable(decoration, build).empty()) {
            continue;
        }
        const auto rank = std::make_tuple(decoration.major, decoration.minor, decoration.build,
                                          decoration.productType != 0, decoration.suiteMask != 0);
        if (chosen < 0 || rank > best) {
            chosen = static_cast<int>(index);
            best = rank;
        }
    }
    return chosen;
}

IdMatch MatchBootloaderId(const std::wstring& id)
{
    const std::wstring device = Lower(BootloaderDeviceId);
    const std::wstring text = Lower(id);
    if (text == device) {
        return IdMatch::Device;
    }
    // "&REV_" and four hex digits: the bcdDevice of one release.
    const std::wstring revision = L"&rev_";
    constexpr std::size_t revisionDigits = 4;
    if (text.size() == device.size() + revision.size() + revisionDigits && text.rfind(device + revision, 0) == 0) {
        for (std::size_t index = device.size() + revision.size(); index < text.size(); ++index) {
            if (!std::iswxdigit(text[index])) {
                return IdMatch::None;
            }
        }
        return IdMatch::RevisionOnly;
    }
    return IdMatch::None;
}

std::vector<std::wstring> InstallSectionCandidates(const std::wstring& name)
{
    return {name + L".NTamd64", name + L".NT", name};
}

std::wstring DirIdName(unsigned dirId)
{
    switch (dirId) {
    case 10:
        return L"Windows";
    case 11:
        return L"System32";
    case 12:
        return L"drivers";
    case 13:
        return L"driver store";
    case 16425:
        return L"SysWOW64";
    default:
        return L"DIRID " + std::to_wstring(dirId);
    }
}
