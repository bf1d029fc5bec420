#include "FileDigest.h"
#include "PeImage.h"
#include "UniqueModule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The built TouchpadUpdater.exe, named by the test's environment.
std::wstring ProductPath()
{
    const wchar_t* value = _wgetenv(L"TOUCHPAD_UPDATER_EXE");
    std::wstring path = value == nullptr ? std::wstring() : std::wstring(value);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

struct ResourceName {
    std::wstring type;
    std::wstring name;
};

std::wstring ResourceIdText(LPCWSTR id)
{
    return IS_INTRESOURCE(id) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(id)) : std::wstring(id);
}

BOOL CALLBACK CollectName(HMODULE /*module*/, LPCWSTR type, LPWSTR name, LONG_PTR names)
{
    // The enumeration hands its context over as a LONG_PTR.
    auto* collected = reinterpret_cast<std::vector<ResourceName>*>(names); // NOLINT(performance-no-int-to-ptr)
    collected->push_back({ResourceIdText(type), ResourceIdText(name)});
    return TRUE;
}

BOOL CALLBACK CollectNamesOfType(HMODULE module, LPWSTR type, LONG_PTR names)
{
    EnumResourceNamesW(module, type, CollectName, names);
    return TRUE;
}

TEST(Manifest, IsTheOnlyResourceAndRequiresAdministrator)
{
    const std::wstring path = ProductPath();
    ASSERT_FALSE(path.empty()) << "TOUCHPAD_UPDATER_EXE is not set";
    const UniqueModule module(
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module.IsValid()) << "error " << GetLastError();

    std::vector<ResourceName> names;
    EnumResourceTypesW(module.Get(), CollectNamesOfType, reinterpret_cast<LONG_PTR>(&names));
    ASSERT_EQ(names.size(), 1U);
    EXPECT_EQ(names[0].type, L"#24"); // RT_MANIFEST
    EXPECT_EQ(names[0].name, L"#1");  // CREATEPROCESS_MANIFEST_RESOURCE_ID

    HRSRC resource = FindResourceW(module.Get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(resource, nullptr);
    const DWORD size = SizeofResource(module.Get(), resource);
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module.Get(), resource)));
    ASSERT_NE(bytes, nullptr);
    const std::string manifest(bytes, size);
    EXPECT_NE(manifest.find(R"(<requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>)"),
              std::string::npos)
        << manifest;
    EXPECT_EQ(manifest.find("requestedExecutionLevel", manifest.find("requestedExecutionLevel") + 1),
              std::string::npos);
}

std::string UpperCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char letter) { return static_cast<char>(std::toupper(letter)); });
    return text;
}

// The product runs elevated: it imports nothing but system DLLs, which the
// loader takes from System32, and keeps ASLR and DEP.
TEST(Image, ImportsOnlySystemDllsAndKeepsAslrAndDep)
{
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(ReadWholeFile(ProductPath(), bytes)) << "cannot read TOUCHPAD_UPDATER_EXE";
    const PeImage image = ReadPeImage(bytes);
    ASSERT_EQ(image.problem, "");

    const std::vector<std::string> systemDlls = {"KERNEL32.DLL", "ADVAPI32.DLL", "MSVCRT.DLL", "SETUPAPI.DLL"};
    bool importsKernel32 = false;
    for (const PeImport& import : image.imports) {
        const std::string name = UpperCase(import.dll);
        const bool isSystemDll = std::find(systemDlls.begin(), systemDlls.end(), name) != systemDlls.end();
        EXPECT_TRUE(isSystemDll) << "imports " << import.dll;
        importsKernel32 = importsKernel32 || name == "KERNEL32.DLL";
    }
    EXPECT_TRUE(importsKernel32) << "the import table read empty or wrong";

    for (const std::uint16_t flag : {IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA,
                                     IMAGE_DLLCHARACTERISTICS_NX_COMPAT}) {
        EXPECT_EQ(image.dllCharacteristics & flag, flag) << std::hex << "flag 0x" << flag << " missing";
    }
}

// Runs the product with its standard output on a pipe; returns the bytes.
std::string RunProduct(DWORD& exitCode)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    UniqueKernelHandle readEnd;
    UniqueKernelHandle writeEnd;
    EXPECT_TRUE(CreatePipe(readEnd.Put(), writeEnd.Put(), &inheritable, 0));
    SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    startupInfo.dwFlags = STARTF_USESTDHANDLES;
    startupInfo.hStdOutput = writeEnd.Get();
    startupInfo.hStdError = writeEnd.Get();
    PROCESS_INFORMATION processInfo{};
    std::wstring commandLine = L"\"" + ProductPath() + L"\"";
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startupInfo,
                        &processInfo)) {
        ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
        return {};
    }
    const UniqueKernelHandle process(processInfo.hProcess);
    const UniqueKernelHandle thread(processInfo.hThread);
    writeEnd.Reset();

    std::string output;
    char chunk[256];
    DWORD received = 0;
    while (ReadFile(readEnd.Get(), chunk, sizeof(chunk), &received, nullptr) && received > 0) {
        output.append(chunk, received);
    }
    WaitForSingleObject(process.Get(), INFINITE);
    GetExitCodeProcess(process.Get(), &exitCode);
    return output;
}

TEST(Executable, WithoutCom3PrintsExactlyTwoLinesAndExitsZero)
{
    ASSERT_FALSE(ProductPath().empty()) << "TOUCHPAD_UPDATER_EXE is not set";
    DWORD exitCode = 0xdeadbeef;
    EXPECT_EQ(RunProduct(exitCode), "Please wait\r\nThe correct serial port was not found\r\n");
    EXPECT_EQ(exitCode, 0U);
}

} // namespace
