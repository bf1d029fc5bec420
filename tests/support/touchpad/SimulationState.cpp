#include "SimulationState.h"

#include "UniqueHandle.h"

#include <array>
#include <cstdio>
#include <cstdlib>

std::wstring StateDirectoryFromEnvironment()
{
    std::array<wchar_t, MAX_PATH> buffer{};
    const DWORD length = GetEnvironmentVariableW(StateDirectoryVariable, buffer.data(), MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    return {buffer.data(), length};
}

std::wstring StatePath(const std::wstring& directory, const wchar_t* name)
{
    return directory + L"\\" + name;
}

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    return bytes;
}

std::string UnixTimeText()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    // FILETIME counts 100 ns units since 1601; 1970 is 11644473600 s later.
    const std::uint64_t units = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const std::uint64_t micros = units / 10 - 11644473600ULL * 1000000ULL;
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%llu.%06llu", static_cast<unsigned long long>(micros / 1000000),
                  static_cast<unsigned long long>(micros % 1000000));
    return text.data();
}

std::string ClockTimeText()
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond,
                  now.wMilliseconds);
    return text.data();
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text.push_back(' ');
        }
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

void ReportToCaller(const std::wstring& stateDirectory, const std::string& who)
{
    const std::string value = ReadFirstLine(StatePath(stateDirectory, CallerHandleFile));
    if (value.empty()) {
        return;
    }
    // An inherited handle keeps its value: it is the caller's when it names
    // the caller's file.
    const auto number = static_cast<ULONG_PTR>(std::strtoull(value.c_str(), nullptr, 10));
    auto* const held = reinterpret_cast<HANDLE>(number); // NOLINT(performance-no-int-to-ptr): from another process
    std::array<wchar_t, MAX_PATH> heldPath{};
    const DWORD length = GetFinalPathNameByHandleW(held, heldPath.data(), MAX_PATH, 0);
    const std::wstring name = std::wstring(L"\\") + CallerFile;
    const bool open = length > name.size() && length < MAX_PATH &&
                      std::wstring(heldPath.data(), length).compare(length - name.size(), name.size(), name) == 0;
    std::string line = who + ": caller's file " + (open ? "open" : "closed");
    for (const wchar_t* variable : {L"TOUCHPAD_PROBE", L"PATH", L"SystemRoot"}) {
        std::array<wchar_t, 1024> text{};
        const DWORD size = GetEnvironmentVariableW(variable, text.data(), static_cast<DWORD>(text.size()));
        line += ", " + Utf8(variable) + "=" + Utf8({text.data(), size < text.size() ? size : 0});
    }
    line += "\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

bool AppendLine(const std::wstring& path, const std::string& line)
{
    const UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return false;
    }
    const std::string text = line + "\n";
    DWORD written = 0;
    return WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

bool WriteWholeFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes)
{
    const UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return false;
    }
    DWORD written = 0;
    return WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::string ReadFirstLine(const std::wstring& path)
{
    std::vector<std::uint8_t> bytes;
    if (!ReadWholeFile(path, bytes)) {
        return {};
    }
    std::string line(bytes.begin(), bytes.end());
    const std::size_t end = line.find_first_of("\r\n");
    if (end != std::string::npos) {
        line.resize(end);
    }
    return line;
}
