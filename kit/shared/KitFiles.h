#pragma once

// The kit's files as every check sees them: paths relative to the kit with
// forward slashes, listed from the folder as it lies on disk.

#include <cstdint>
#include <string>
#include <vector>

struct KitFile {
    std::wstring path; // relative to the kit, forward slashes
    std::uint64_t size = 0;
    std::string sha256;
};

struct FolderEntry {
    std::wstring name;
    bool isFolder = false;
    // A symbolic link or junction (any reparse point): what it leads to is
    // not part of the folder.
    bool isLink = false;
    std::uint64_t size = 0;
};

// The entries of a folder (not "." and ".."); empty when it cannot be listed.
std::vector<FolderEntry> ListFolder(const std::wstring& path);

bool IsFile(const std::wstring& path);

// A kit-relative path with forward slashes, as a Windows path under the kit.
std::wstring PathUnder(const std::wstring& folder, const std::wstring& relative);

// DLL names compare without case; ASCII folding is what matters for them.
template <typename Text> Text LowerAscii(Text text)
{
    for (auto& letter : text) {
        if (letter >= 'A' && letter <= 'Z') {
            letter = static_cast<typename Text::value_type>(letter - 'A' + 'a');
        }
    }
    return text;
}
