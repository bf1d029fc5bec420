#pragma once

#include <windows.h>

#include <string>
#include <vector>

// What a copy of this test executable, run as a child, saw of its own start.
struct ChildRecord {
    std::wstring program;     // its module path
    std::wstring directory;   // its current directory
    std::wstring commandLine; // GetCommandLineW
    // The arguments after the program's own name, as the system splits them.
    std::vector<std::wstring> arguments;
    // For each argument, the start of the file it names when opened from the
    // child's current directory, or noFile.
    std::vector<std::wstring> argumentFiles;
};

inline constexpr wchar_t noFile[] = L"<no file>";

// The exit code of a child that wrote its record.
inline constexpr DWORD recordExitCode = 41;

// The exit code of a tool-running child whose tool was not started.
inline constexpr DWORD toolNotStartedExitCode = 99;

// A copy of this executable started without a child mode on its command line
// (as the shipped tools are) appends its record to the file this variable of
// the machine's environment names.
inline constexpr wchar_t recordVariable[] = L"TOOL_TESTS_RECORD";

// Child side: appends this process's record to recordPath.
bool AppendChildRecord(const std::wstring& recordPath);

// Test side: every record appended to recordPath in order; none when the file
// is missing.
std::vector<ChildRecord> ReadChildRecords(const std::wstring& recordPath);

// The arguments of this process, program name first, as the system splits them.
std::vector<std::wstring> OwnArguments();
