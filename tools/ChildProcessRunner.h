#pragma once

#include <windows.h>

#include <string>

// Runs commandLine (program first, as the system splits it) in
// workingDirectory, or in this program's current directory when that is
// empty, and waits for the child without a time-out. The child gets the
// machine's environment (the system's variables only: neither this
// program's nor the user's) and of this program's handles only its standard
// handles that are inheritable. True when the child ran; its exit code is
// then stored in *exitCode when exitCode is given. Nothing is started when
// the environment cannot be made, nor for a command line longer than 259
// units: a tool must never run with a cut argument list.
bool ChildProcessRunner(const std::wstring& commandLine, const std::wstring& workingDirectory, DWORD* exitCode);

// Runs the batch file at batchPath in the system's own command interpreter,
// "<system directory>\cmd.exe", named as the program to start: never the one
// ComSpec names, with /d, so that the user's AutoRun command does not run
// first, and with extensions on and delayed expansion off, whatever the
// user's settings. Working directory, environment, handles, wait, result and
// exit code (the batch file's) as for ChildProcessRunner. Nothing is started
// for a batch file that is missing or a folder, whose path holds a %, or
// whose quoted path is longer than 259 units.
bool BatchFileRunner(const std::wstring& batchPath, const std::wstring& workingDirectory, DWORD* exitCode);

// "<interpreterPath>" /d /e:on /v:off /s /c ""<batchPath>"": the interpreter
// takes the outer pair of quotes off, which leaves the batch path quoted
// whatever it holds.
std::wstring InterpreterCommandLine(const std::wstring& interpreterPath, const std::wstring& batchPath);
