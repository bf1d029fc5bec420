// Starts the product as a caller may, for the end-to-end runs only: with
// its own environment, its standard output redirected to a file and an
// inheritable handle to another file open. Its own ReportToCaller line comes
// first in that file; the product's children add theirs (the installer
// stand-in through --probe).
//   InheritingCaller.exe <program>
//   InheritingCaller.exe --probe <who>

#include "SimulationState.h"
#include "UniqueHandle.h"

namespace {

UniqueFileHandle CreateInheritableFile(const std::wstring& path)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    return UniqueFileHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace

int wmain(int argc, wchar_t** argv) // NOLINT(readability-identifier-naming): the entry point
{
    const std::wstring state = StateDirectoryFromEnvironment();
    if (argc == 3 && std::wstring(argv[1]) == L"--probe") {
        ReportToCaller(state, Utf8(argv[2]));
        return 0;
    }
    if (argc != 2 || state.empty()) {
        return 2;
    }
    const UniqueFileHandle held = CreateInheritableFile(StatePath(state, CallerFile));
    const UniqueFileHandle output = CreateInheritableFile(StatePath(state, CallerOutputFile));
    const std::string value = std::to_string(reinterpret_cast<ULONG_PTR>(held.Get()));
    if (!held.IsValid() || !output.IsValid() || !AppendLine(StatePath(state, CallerHandleFile), value) ||
        !SetStdHandle(STD_OUTPUT_HANDLE, output.Get())) {
        return 3;
    }
    ReportToCaller(state, "caller");
    // The child takes its standard output from this process's.
    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    std::wstring commandLine = L"\"" + std::wstring(argv[1]) + L"\"";
    PROCESS_INFORMATION processInfo{};
    if (!CreateProcessW(argv[1], commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startupInfo,
                        &processInfo)) {
        return 4;
    }
    const UniqueKernelHandle process(processInfo.hProcess);
    const UniqueKernelHandle thread(processInfo.hThread);
    WaitForSingleObject(process.Get(), INFINITE);
    DWORD exitCode = 5;
    GetExitCodeProcess(process.Get(), &exitCode);
    return static_cast<int>(exitCode);
}
