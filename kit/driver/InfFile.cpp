#include "InfFile.h"

#include <array>
#include <cwchar>

namespace {

// One field of the line (0 is the key), or false when it has none.
bool ReadField(INFCONTEXT& context, DWORD number, std::wstring& text)
{
    DWORD length = 0;
    text.clear();
    if (!SetupGetStringFieldW(&context, number, nullptr, 0, &length) || length == 0) {
        return false;
    }
    text.resize(length);
    if (!SetupGetStringFieldW(&context, number, text.data(), length, &length) || length == 0) {
        text.clear();
        return false;
    }
    text.resize(length - 1); // without the terminator
    return true;
}

InfLine ReadLine(INFCONTEXT& context)
{
    InfLine line;
    ReadField(context, 0, line.key);
    const DWORD count = SetupGetFieldCount(&context);
    for (DWORD number = 1; number <= count; ++number) {
        std::wstring field;
        ReadField(context, number, field);
        line.fields.push_back(std::move(field));
    }
    return line;
}

std::wstring OpenProblem(DWORD error, UINT errorLine)
{
    const std::wstring where = errorLine != 0 ? L"line " + std::to_wstring(errorLine) + L": " : L"";
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return L"missing";
    case ERROR_WRONG_INF_STYLE:
        return L"not a Windows NT INF: [Version] has no Signature \"$Windows NT$\" or \"$Chicago$\"";
    case ERROR_EXPECTED_SECTION_NAME:
        return where + L"a line before the first section";
    case ERROR_BAD_SECTION_NAME_LINE:
        return where + L"a section name without its closing ']'";
    case ERROR_SECTION_NAME_TOO_LONG:
        return where + L"a section name longer than 255 characters";
    default: {
        std::array<wchar_t, 16> code{};
        std::swprintf(code.data(), code.size(), L"%08lX", static_cast<unsigned long>(error));
        return where + L"SetupAPI cannot read it (error 0x" + code.data() + L")";
    }
    }
}

} // namespace

bool SameText(const std::wstring& left, const std::wstring& right)
{
    return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

bool InfFile::Open(const std::wstring& path, std::wstring& problem)
{
    UINT errorLine = 0;
    handle.Reset(SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, &errorLine));
    if (!handle.IsValid()) {
        problem = OpenProblem(GetLastError(), errorLine);
        return false;
    }
    // Wine's parser also takes "$Windows 95$"; Windows does not.
    const std::wstring signature = Value(L"Version", L"Signature");
    if (!SameText(signature, L"$Windows NT$") && !SameText(signature, L"$Chicago$")) {
        problem = L"[Version] Signature \"" + signature +
                  L"\" is not \"$Windows NT$\" or \"$Chicago$\": Windows "
                  L"does not take it as an INF";
        handle.Reset();
        return false;
    }
    return true;
}

bool InfFile::HasSection(const std::wstring& section) const
{
    return SetupGetLineCountW(handle.Get(), section.c_str()) >= 0;
}

std::vector<InfLine> InfFile::Lines(const std::wstring& section) const
{
    std::vector<InfLine> lines;
    INFCONTEXT context{};
    for (bool found = SetupFindFirstLineW(handle.Get(), section.c_str(), nullptr, &context); found;
         found = SetupFindNextLine(&context, &context)) {
        lines.push_back(ReadLine(context));
    }
    return lines;
}

std::vector<InfLine> InfFile::Lines(const std::wstring& section, const std::wstring& key) const
{
    std::vector<InfLine> lines;
    INFCONTEXT context{};
    for (bool found = SetupFindFirstLineW(handle.Get(), section.c_str(), key.c_str(), &context); found;
         found = SetupFindNextMatchLineW(&context, key.c_str(), &context)) {
        lines.push_back(ReadLine(context));
    }
    return lines;
}

std::wstring InfFile::Value(const std::wstring& section, const std::wstring& key) const
{
    const std::vector<InfLine> lines = Lines(section, key);
    return lines.empty() ? std::wstring() : lines.front().Field(1);
}
