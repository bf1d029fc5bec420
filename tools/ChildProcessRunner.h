#pragma once

#include <windows.h>

#include <string>

// Runs commandLine (program first, as the system splits it) in
// workingDirectory, or in this program's current directory when that is
// empty, and waits for the child without a time-out. True when the child ran;
// its exit code is then stored in *exitCode when exitCode is given. A command
// line longer than 259 units is not started: a tool must never run with a cut
// argument list.
bool ChildProcessRunner(const std::wstring& commandLine, const std::wstring& workingDirectory, DWORD* exitCode);
