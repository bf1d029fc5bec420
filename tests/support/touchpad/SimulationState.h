#pragma once

// The files through which the touchpad simulator and the stand-ins for the
// shipped tools tell each other, and the test runner, what happened. All of
// them live in one state directory, named to the stand-ins by a variable of
// the machine's environment, the one that the product hands its children.

#include "FileDigest.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// The environment variable that names the state directory (a Windows path).
inline constexpr wchar_t StateDirectoryVariable[] = L"TOUCHPAD_SIM_STATE";

// Named events in the prefix's wineserver: the download tool sets the first
// once the image is in place, the simulator sets the second once it has taken
// it. Both auto-reset.
inline constexpr wchar_t DownloadRequestedEventName[] = L"TouchpadSimulator.DownloadRequested";
inline constexpr wchar_t DownloadFinishedEventName[] = L"TouchpadSimulator.DownloadFinished";

// File names inside the state directory.
inline constexpr wchar_t DownloadImageFile[] = L"download.dfu";
inline constexpr wchar_t DownloadResultFile[] = L"download-result.txt";
inline constexpr wchar_t DownloadExitCodeFile[] = L"download-exit-code.txt";
inline constexpr wchar_t DownloadToolLogFile[] = L"dfu-util.log";
// Written by InheritingCaller: the file it holds open through an inheritable
// handle, that handle's value, and the product's redirected output.
inline constexpr wchar_t CallerFile[] = L"caller-file.txt";
inline constexpr wchar_t CallerHandleFile[] = L"caller-handle.txt";
inline constexpr wchar_t CallerOutputFile[] = L"caller-output.txt";

// The state directory from the environment; empty when it is not set.
std::wstring StateDirectoryFromEnvironment();
std::wstring StatePath(const std::wstring& directory, const wchar_t* name);

std::string Utf8(const std::wstring& text);
// Seconds since 1970 with microseconds, from the system clock, which is the
// host's clock under Wine, so that the runner can compare with its own times.
std::string UnixTimeText();
// The local time of day, "13:27:36.123", for reports that people read.
std::string ClockTimeText();
// "0E 00 ED"
std::string HexBytes(const std::vector<std::uint8_t>& bytes);

// Where InheritingCaller started the product: writes one line to standard
// output, "<who>: caller's file open" (or "closed": whether the caller's
// inheritable handle reached this process), then ", NAME=value" for
// TOUCHPAD_PROBE, PATH and SystemRoot as this process has them.
void ReportToCaller(const std::wstring& stateDirectory, const std::string& who);

// Appends one line (a line feed is added) to a file, creating it.
bool AppendLine(const std::wstring& path, const std::string& line);
bool WriteWholeFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes);
// The first line of a text file, without its line end; empty when missing.
std::string ReadFirstLine(const std::wstring& path);
