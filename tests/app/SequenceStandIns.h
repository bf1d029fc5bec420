#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

// Link-time stand-ins for what the update sequence drives: the serial
// connection, the bootloader command, both presence checks, the application
// directory, both tool runners and the pause. Each writes a bracketed
// event line to standard output, so one capture holds the program's own lines
// and the calls in their true order.
struct SequenceScript {
    bool openSucceeds = true;
    bool configureSucceeds = true;
    bool sendSucceeds = true;
    // Answers of the successive checks of each wait; missing ones are false.
    std::vector<bool> firstChecks;
    std::vector<bool> secondChecks;
    std::wstring appDirectory = L"C:\\Kit";
    // A tool that does not start leaves the caller's exit code alone.
    bool installerStarts = true;
    DWORD installerExitCode = 0;
    bool downloadStarts = true;
    DWORD downloadExitCode = 0;
};

struct SequenceRecord {
    bool portOpen = false;
    std::size_t firstCheckCalls = 0;
    std::size_t secondCheckCalls = 0;
    std::vector<std::wstring> checkedIds;
    // The installer's batch path, the download tool's command line.
    std::vector<std::wstring> started;
    std::vector<std::wstring> workingDirectories;
};

// Resets the record and installs the script for the next calls.
void UseScript(const SequenceScript& script);
const SequenceRecord& Record();
