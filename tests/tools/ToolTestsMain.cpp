// The tool tests run copies of their own executable as the children that the
// runner starts: a mode on the command line says what such a child does.
// A copy started with neither a mode nor the test runner's options stands in
// for a shipped tool, whose command line the tests do not choose: it records
// its start while recordVariable, a variable of the machine's environment,
// names a file.

#include "AppDirectory.h"
#include "ChildProcessRunner.h"
#include "ChildRecord.h"
#include "ToolInvocations.h"
#include "UniqueHandle.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int unknownModeExitCode = 120;

bool WriteWideText(const std::wstring& path, const std::wstring& text)
{
    const UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const auto size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD written = 0;
    return file.IsValid() && WriteFile(file.Get(), text.data(), size, &written, nullptr) && written == size;
}

DWORD ExitCodeOf(bool (*run)(const std::wstring& appDirectory, DWORD* exitCode))
{
    DWORD exitCode = toolNotStartedExitCode;
    run(AppDirectory(), &exitCode);
    return exitCode;
}

//   --child-exit N                   ends with exit code N
//   --child-record FILE [ignored]    appends its ChildRecord to FILE
//   --child-app-directory FILE       writes AppDirectory() to FILE (UTF-16)
//   --child-run-driver-installer     runs the installer of its own kit and
//   --child-run-download-tool        ends with the tool's exit code, as the
//                                    update does
int RunChildMode(const std::vector<std::wstring>& arguments)
{
    const std::wstring& mode = arguments[1];
    const std::wstring operand = arguments.size() > 2 ? arguments[2] : std::wstring();
    if (mode == L"--child-exit") {
        ExitProcess(static_cast<UINT>(std::wcstoul(operand.c_str(), nullptr, 0)));
    }
    if (mode == L"--child-record") {
        return AppendChildRecord(operand) ? static_cast<int>(recordExitCode) : unknownModeExitCode + 1;
    }
    if (mode == L"--child-app-directory") {
        return WriteWideText(operand, AppDirectory()) ? 0 : unknownModeExitCode + 2;
    }
    if (mode == L"--child-run-driver-installer") {
        return static_cast<int>(ExitCodeOf(RunDriverInstaller));
    }
    if (mode == L"--child-run-download-tool") {
        return static_cast<int>(ExitCodeOf(RunDownloadTool));
    }
    return unknownModeExitCode;
}

std::wstring EnvironmentValue(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::wstring> arguments = OwnArguments();
    if (arguments.size() > 1 && arguments[1].compare(0, 8, L"--child-") == 0) {
        return RunChildMode(arguments);
    }
    // Test runs see the machine's variables too, so a run of the tests must
    // not take recordVariable for itself.
    const bool testRun = arguments.size() < 2 || arguments[1].compare(0, 7, L"--gtest") == 0;
    const std::wstring recordPath = testRun ? std::wstring() : EnvironmentValue(recordVariable);
    if (!recordPath.empty()) {
        return AppendChildRecord(recordPath) ? static_cast<int>(recordExitCode) : unknownModeExitCode + 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
