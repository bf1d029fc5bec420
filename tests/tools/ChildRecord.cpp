#include "ChildRecord.h"

#include "TestFiles.h"
#include "UniqueHandle.h"

#include <shellapi.h>

namespace {

// The first bytes of a file as text, one line: control bytes become '?'.
std::wstring FileStart(const std::wstring& relativePath)
{
    const UniqueFileHandle file(CreateFileW(relativePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    char bytes[64];
    DWORD received = 0;
    if (!file.IsValid() || !ReadFile(file.Get(), bytes, sizeof(bytes), &received, nullptr)) {
        return noFile;
    }
    std::wstring text;
    for (DWORD index = 0; index < received; ++index) {
        const auto byte = static_cast<unsigned char>(bytes[index]);
        text += byte < 0x20 ? L'?' : static_cast<wchar_t>(byte);
    }
    return text;
}

} // namespace

std::vector<std::wstring> OwnArguments()
{
    int count = 0;
    LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> arguments;
    if (list != nullptr) {
        arguments.assign(list, list + count);
        LocalFree(list);
    }
    return arguments;
}

bool AppendChildRecord(const std::wstring& recordPath)
{
    std::wstring text = L"program=" + SelfPath() + L"\n";
    text += L"directory=" + CurrentDirectory() + L"\n";
    text += L"commandLine=" + std::wstring(GetCommandLineW()) + L"\n";
    const std::vector<std::wstring> arguments = OwnArguments();
    for (std::size_t index = 1; index < arguments.size(); ++index) {
        text += L"argument=" + arguments[index] + L"\n";
        text += L"argumentFile=" + FileStart(arguments[index]) + L"\n";
    }
    text += L"end\n";

    const UniqueFileHandle file(CreateFileW(recordPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const auto size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD written = 0;
    return file.IsValid() && WriteFile(file.Get(), text.data(), size, &written, nullptr) && written == size;
}

std::vector<ChildRecord> ReadChildRecords(const std::wstring& recordPath)
{
    std::vector<ChildRecord> records;
    std::string bytes;
    if (!ReadBytes(recordPath, bytes)) {
        return records;
    }
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    ChildRecord record;
    std::size_t start = 0;
    for (std::size_t end = text.find(L'\n'); end != std::wstring::npos; end = text.find(L'\n', start)) {
        const std::wstring line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = line.find(L'=');
        const std::wstring key = line.substr(0, equals);
        const std::wstring value = equals == std::wstring::npos ? std::wstring() : line.substr(equals + 1);
        if (key == L"program") {
            record.program = value;
        } else if (key == L"directory") {
            record.directory = value;
        } else if (key == L"commandLine") {
            record.commandLine = value;
        } else if (key == L"argument") {
            record.arguments.push_back(value);
        } else if (key == L"argumentFile") {
            record.argumentFiles.push_back(value);
        } else if (key == L"end") {
            records.push_back(record);
            record = ChildRecord();
        }
    }
    return records;
}
