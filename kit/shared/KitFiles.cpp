#include "KitFiles.h"

#include "UniqueHandle.h"

#include <windows.h>

#include <algorithm>

std::vector<FolderEntry> ListFolder(const std::wstring& path)
{
    std::vector<FolderEntry> entries;
    WIN32_FIND_DATAW found{};
    const UniqueFindHandle search(FindFirstFileW((path + L"\\*").c_str(), &found));
    if (!search.IsValid()) {
        return entries;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool isLink = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        entries.push_back(
            {name, isFolder, isLink, (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32U) | found.nFileSizeLow});
    } while (FindNextFileW(search.Get(), &found));
    return entries;
}

bool IsFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring PathUnder(const std::wstring& folder, const std::wstring& relative)
{
    std::wstring path = folder + L"\\" + relative;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}
