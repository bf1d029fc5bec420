#pragma once

// An INF file read through SetupAPI's own parser, as Windows reads it:
// sections and keys without case, %strkey% tokens replaced from [Strings],
// quotes, comments and line continuations resolved, ANSI and UTF-16 files.
// Which sections apply on Windows x64 is decided by the callers
// (InfRules.h), not by SetupAPI.

#include "UniqueHandle.h"

#include <windows.h>

#include <setupapi.h>

#include <string>
#include <vector>

struct InfTraits {
    using Type = HINF;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type value) { return value != INVALID_HANDLE_VALUE && value != nullptr; }
    static void Close(Type value) { SetupCloseInfFile(value); }
};

struct InfLine {
    std::wstring key; // empty when the line has none
    // Fields 1 to n, after string substitution.
    std::vector<std::wstring> fields;

    // The field with this number (from 1), or empty text.
    [[nodiscard]] std::wstring Field(std::size_t number) const
    {
        return number >= 1 && number <= fields.size() ? fields[number - 1] : std::wstring();
    }
};

class InfFile {
public:
    // Opens the file as a Windows NT INF ([Version] Signature "$Windows NT$"
    // or "$Chicago$"). On failure returns false and says why in `problem`,
    // with the line where the parser stopped.
    bool Open(const std::wstring& path, std::wstring& problem);

    // Whether the section exists, even without lines (an empty section
    // still counts when Windows picks a decorated section).
    [[nodiscard]] bool HasSection(const std::wstring& section) const;
    [[nodiscard]] std::vector<InfLine> Lines(const std::wstring& section) const;
    // The lines of the section with this key, in order.
    [[nodiscard]] std::vector<InfLine> Lines(const std::wstring& section, const std::wstring& key) const;
    // The first field of the first line with this key, or empty text.
    [[nodiscard]] std::wstring Value(const std::wstring& section, const std::wstring& key) const;

private:
    UniqueHandle<InfTraits> handle;
};

// Case-insensitive comparison, as Windows compares INF names and file names.
bool SameText(const std::wstring& left, const std::wstring& right);
