#include "FileDigest.h"
#include "PeImage.h"
#include "UniqueModule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
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

using FunctionNames = std::set<std::string>;

// What the product takes from each DLL, by name. All four DLLs are mapped
// from System32 whatever the search order, but a function that one of them
// forwards to another DLL makes the loader look for that DLL by name, in the
// folder of the executable first, before main can restrict the search: each
// name here was checked against where Windows implements it, and a new one
// fails this test until it has been too.
#ifdef __MINGW32__
const std::map<std::string, std::string> pinnedImports = {
    // Implemented in KERNEL32 (many as stubs into KERNELBASE, a known DLL,
    // through API sets), or forwarded to NTDLL, which every process maps
    // first: the critical sections, the vectored handlers and
    // __C_specific_handler.
    {"KERNEL32.DLL",
     "AddVectoredExceptionHandler CancelIoEx CloseHandle CreateEventA CreateEventW CreateFileW "
     "CreateProcessW CreateSemaphoreA DeleteCriticalSection DuplicateHandle EnterCriticalSection "
     "FormatMessageA GetCommState GetCurrentProcess GetCurrentProcessId GetCurrentThread "
     "GetCurrentThreadId GetExitCodeProcess GetFileAttributesW GetHandleInformation GetLastError "
     "GetModuleFileNameW GetModuleHandleW GetOverlappedResult GetProcAddress GetProcessAffinityMask "
     "GetStartupInfoA GetSystemDirectoryW GetSystemTimeAsFileTime GetThreadContext GetThreadPriority "
     "GetTickCount64 InitializeCriticalSection IsDBCSLeadByteEx IsDebuggerPresent LeaveCriticalSection "
     "LoadLibraryExW LoadLibraryW LocalFree MultiByteToWideChar OpenProcess OutputDebugStringA "
     "QueryPerformanceCounter RaiseException ReadFile ReleaseSemaphore RemoveVectoredExceptionHandler "
     "ResetEvent ResumeThread RtlCaptureContext RtlLookupFunctionEntry RtlUnwindEx RtlVirtualUnwind "
     "SetCommState SetEvent SetLastError SetProcessAffinityMask SetThreadContext SetThreadPriority "
     "SetUnhandledExceptionFilter Sleep SuspendThread TerminateProcess TlsAlloc TlsGetValue TlsSetValue "
     "TryEnterCriticalSection VirtualProtect VirtualQuery WaitForMultipleObjects WaitForSingleObject "
     "WideCharToMultiByte WriteFile __C_specific_handler "
     // The handle list of the child runner.
     "DeleteProcThreadAttributeList GetStdHandle InitializeProcThreadAttributeList UpdateProcThreadAttribute"},
    // The registry functions, ADVAPI32's own stubs into KERNELBASE. Never its
    // SystemFunction0xx (forwarded to CRYPTBASE and CRYPTSP) or Crypt*.
    {"ADVAPI32.DLL", "RegCloseKey RegEnumValueW RegOpenKeyExW RegQueryValueExW"},
    // msvcrt implements all of its exports itself.
    {"MSVCRT.DLL", "___lc_codepage_func ___mb_cur_max_func __getmainargs __initenv __iob_func __set_app_type "
                   "__setusermatherr _acmdln _amsg_exit _beginthreadex _cexit _close _commode _endthreadex _errno "
                   "_fdopen _filelengthi64 _fileno _fmode _fstat64 _initterm _lseeki64 _onexit _read _setjmp _strdup "
                   "_ultoa _wfopen _write abort calloc exit fclose fflush fgetpos fopen fprintf fputc fputs fread free "
                   "fsetpos fwrite getc getwc iswctype localeconv longjmp malloc memchr memcmp memcpy memmove memset "
                   "printf putc putwc realloc setlocale setvbuf signal strcmp strcoll strerror strftime strlen strncmp "
                   "strxfrm towlower towupper ungetc ungetwc vfprintf wcscoll wcsftime wcslen wcsxfrm"},
    // SETUPAPI's own device functions. Never its CM_* functions, which it
    // forwards to CFGMGR32 (the inventory loads that from System32 itself).
    {"SETUPAPI.DLL", "SetupDiDestroyDeviceInfoList SetupDiEnumDeviceInfo SetupDiGetClassDevsW "
                     "SetupDiGetDeviceRegistryPropertyW"},
};

FunctionNames Split(const std::string& text)
{
    std::istringstream words(text);
    return {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
}

std::string Listed(const FunctionNames& names)
{
    std::string text;
    for (const std::string& name : names) {
        text += " " + name;
    }
    return text;
}
#endif

// The product runs elevated: it imports the pinned functions of the system
// DLLs above and nothing else, and keeps ASLR and DEP.
TEST(Image, ImportsOnlyThePinnedFunctionsAndKeepsAslrAndDep)
{
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(ReadWholeFile(ProductPath(), bytes)) << "cannot read TOUCHPAD_UPDATER_EXE";
    const PeImage image = ReadPeImage(bytes);
    ASSERT_EQ(image.problem, "");

    std::map<std::string, FunctionNames> imported;
    for (const PeImport& import : image.imports) {
        FunctionNames& names = imported[UpperCase(import.dll)];
        for (const PeImportedFunction& function : import.functions) {
            names.insert(function.name.empty() ? "#" + std::to_string(function.ordinal) : function.name);
        }
    }
    ASSERT_FALSE(imported["KERNEL32.DLL"].empty()) << "the import table read empty or wrong";
#ifdef __MINGW32__
    for (const auto& [dll, names] : imported) {
        const auto pinnedEntry = pinnedImports.find(dll);
        ASSERT_NE(pinnedEntry, pinnedImports.end()) << "imports " << dll;
        const FunctionNames pinned = Split(pinnedEntry->second);
        FunctionNames added;
        std::set_difference(names.begin(), names.end(), pinned.begin(), pinned.end(),
                            std::inserter(added, added.end()));
        FunctionNames dropped;
        std::set_difference(pinned.begin(), pinned.end(), names.begin(), names.end(),
                            std::inserter(dropped, dropped.end()));
        EXPECT_TRUE(added.empty()) << dll << " newly imported, to be checked and pinned:" << Listed(added);
        EXPECT_TRUE(dropped.empty()) << dll << " no longer imported, to be unpinned:" << Listed(dropped);
    }
#else
    // Another toolchain's runtime imports other functions: only the DLLs and
    // the forwarded families are held.
    for (const auto& [dll, names] : imported) {
        const bool isSystemDll = dll == "KERNEL32.DLL" || dll == "ADVAPI32.DLL" || dll == "SETUPAPI.DLL";
        EXPECT_TRUE(isSystemDll) << "imports " << dll;
        for (const std::string& name : names) {
            EXPECT_NE(name.rfind("SystemFunction", 0), 0U) << dll << " " << name;
            EXPECT_NE(name.rfind("Crypt", 0), 0U) << dll << " " << name;
            EXPECT_NE(name.rfind("CM_", 0), 0U) << dll << " " << name;
        }
    }
#endif

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
