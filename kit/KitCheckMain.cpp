// KitCheck.exe <kit folder>: checks a release kit before it ships and prints
// what a maintainer signs off. Exit codes: 0 sound, 1 refused, 2 usage.

#include "ByteFields.h"
#include "KitFolder.h"

#include <windows.h>

#include <string>

namespace {

constexpr int SoundExit = 0;
constexpr int RefusedExit = 1;
constexpr int UsageExit = 2;

// A console shows wide text as it is; a pipe or a file gets UTF-8, so that
// non-ASCII file names survive whatever the code page.
void WriteLine(DWORD stream, const std::wstring& text)
{
    HANDLE output = GetStdHandle(stream);
    const std::wstring line = text + L"\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(output, &mode)) {
        WriteConsoleW(output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), length, nullptr, nullptr);
    WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring Widen(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::wstring Count(std::size_t count, const std::wstring& noun)
{
    return std::to_wstring(count) + L" " + noun + (count == 1 ? L"" : L"s");
}

void PrintFirmware(const DfuSeImage& firmware)
{
    const DfuSuffix& suffix = firmware.suffix;
    WriteLine(STD_OUTPUT_HANDLE, KitFirmwarePath(L'/') + L": DfuSe image for " +
                                     Widen(Hex(suffix.idVendor, 4) + ":" + Hex(suffix.idProduct, 4)) +
                                     L", bcdDevice 0x" + Widen(Hex(suffix.bcdDevice, 4)) + L", bcdDFU 0x" +
                                     Widen(Hex(suffix.bcdDfu, 4)) + L", " + Count(firmware.targets.size(), L"target"));
    for (std::size_t index = 0; index < firmware.targets.size(); ++index) {
        const DfuTarget& target = firmware.targets[index];
        const std::wstring name = target.name.empty() ? L"unnamed" : L"\"" + Widen(target.name) + L"\"";
        WriteLine(STD_OUTPUT_HANDLE, L"  target " + std::to_wstring(index) + L": alternate setting " +
                                         std::to_wstring(target.alternateSetting) + L", " + name + L", " +
                                         Count(target.elements.size(), L"element"));
        for (std::size_t element = 0; element < target.elements.size(); ++element) {
            WriteLine(STD_OUTPUT_HANDLE, L"    element " + std::to_wstring(element) + L": address " + L"0x" +
                                             Widen(Hex(target.elements[element].address, 8)) + L", " +
                                             Count(target.elements[element].size, L"byte"));
        }
    }
}

std::wstring Covered(const DriverCatalogCover& cover)
{
    return cover.member.empty() ? L"" : L", catalog member \"" + cover.member + L"\" (" + cover.digest + L")";
}

void PrintInf(const DriverInf& inf)
{
    WriteLine(STD_OUTPUT_HANDLE, inf.path + L": class " + inf.className + L" " + inf.classGuid + L", provider \"" +
                                     inf.provider + L"\", DriverVer " + inf.driverVer + Covered(inf.cover));
    for (const DriverBuildChoice& choice : inf.builds) {
        std::wstring line = L"  Windows x64 build " + std::to_wstring(choice.build) + L": ";
        if (choice.matchedId.empty()) {
            line += L"binds nothing";
        } else {
            line += L"[" + choice.modelsSection + L"] lists " + choice.matchedId +
                    (choice.compatibleId ? L" (compatible ID)" : L" (hardware ID)") + L", install [" +
                    choice.installSection + L"]";
        }
        WriteLine(STD_OUTPUT_HANDLE, line);
    }
    for (const DriverInstall& install : inf.installs) {
        WriteLine(STD_OUTPUT_HANDLE,
                  L"  [" + install.section + L"]: function driver " + install.functionDriver + L" (" + install.service +
                      L"), " +
                      (install.files.empty() ? L"copies nothing" : L"copies " + Count(install.files.size(), L"file")));
        for (const DriverFile& file : install.files) {
            WriteLine(STD_OUTPUT_HANDLE, L"    " + file.path + L" -> " + file.destination + L", SHA-256 " +
                                             Widen(file.sha256) + Covered(file.cover));
        }
    }
    const CatalogSigner& signer = inf.signer;
    WriteLine(STD_OUTPUT_HANDLE, L"  catalog " + inf.catalogPath + L": signed by \"" + signer.subject +
                                     L"\", issued by \"" + signer.issuer + L"\", SHA-1 thumbprint " +
                                     Widen(signer.sha1Thumbprint) + L", OS attribute \"" + inf.osAttribute + L"\"");
    WriteLine(STD_OUTPUT_HANDLE, std::wstring(L"  (") + CatalogSignerTrustNote + L")");
}

void PrintDriverPackage(const DriverPackageReport& driver)
{
    for (const DriverInf& inf : driver.infs) {
        PrintInf(inf);
    }
    std::wstring installer = KitInstallerPath(L'/') + L": installs";
    for (const std::wstring& inf : driver.installerInfs) {
        installer += L" " + inf;
    }
    installer += driver.installerInfs.empty() ? L" no INF by name; runs" : L"; runs";
    for (const std::wstring& file : driver.installerFiles) {
        installer += L" " + file;
    }
    for (const std::wstring& tool : driver.installerTools) {
        installer += L" " + tool;
    }
    WriteLine(STD_OUTPUT_HANDLE, installer);
}

void PrintReport(const std::wstring& folder, const KitReport& report)
{
    WriteLine(STD_OUTPUT_HANDLE, L"Kit " + folder + L": sound");
    PrintFirmware(report.firmware);
    std::wstring dlls = KitDownloadToolPath(L'/') + L": x86-64 console program; DLLs from win64:";
    for (const std::wstring& dll : report.toolDlls) {
        dlls += L" " + dll.substr(dll.find(L'/') + 1);
    }
    dlls += report.toolDlls.empty() ? L" none; from Windows:" : L"; from Windows:";
    for (const std::string& dll : report.systemDlls) {
        dlls += L" " + Widen(dll);
    }
    if (!report.overriddenToolDlls.empty()) {
        dlls += L"; in win64 but taken from Windows (KnownDLLs and API sets):";
        for (const std::wstring& dll : report.overriddenToolDlls) {
            dlls += L" " + dll.substr(dll.find(L'/') + 1);
        }
    }
    WriteLine(STD_OUTPUT_HANDLE, dlls);
    PrintDriverPackage(report.driver);
    WriteLine(STD_OUTPUT_HANDLE, L"Files (SHA-256, size in bytes, path):");
    for (const KitFile& file : report.files) {
        WriteLine(STD_OUTPUT_HANDLE, Widen(file.sha256) + L"  " + std::to_wstring(file.size) + L"  " + file.path);
    }
    WriteLine(STD_OUTPUT_HANDLE, Count(report.warnings.size(), L"warning") + (report.warnings.empty() ? L"" : L":"));
    for (const std::wstring& warning : report.warnings) {
        WriteLine(STD_OUTPUT_HANDLE, L"warning: " + warning);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) // NOLINT(readability-identifier-naming): the entry point
{
    if (argc != 2 || argv[1][0] == L'\0') {
        WriteLine(STD_ERROR_HANDLE, L"usage: KitCheck.exe <kit folder>");
        return UsageExit;
    }
    std::wstring folder = argv[1];
    while (folder.size() > 1 && (folder.back() == L'\\' || folder.back() == L'/') &&
           folder[folder.size() - 2] != L':') {
        folder.pop_back();
    }
    const KitReport report = CheckKit(folder);
    if (!report.problems.empty()) {
        for (const std::wstring& problem : report.problems) {
            WriteLine(STD_ERROR_HANDLE, L"KitCheck: " + problem);
        }
        for (const std::wstring& warning : report.warnings) {
            WriteLine(STD_ERROR_HANDLE, L"KitCheck: warning: " + warning);
        }
        WriteLine(STD_ERROR_HANDLE, L"KitCheck: " + folder + L" refused: " + Count(report.problems.size(), L"problem"));
        return RefusedExit;
    }
    PrintReport(folder, report);
    return SoundExit;
}
