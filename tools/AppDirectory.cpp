#include "AppDirectory.h"

#include <windows.h>

#include <array>

std::wstring AppDirectory()
{
    std::array<wchar_t, MAX_PATH> path{};
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    // A path that fills the whole buffer was truncated.
    if (length == 0 || length >= path.size()) {
        return {};
    }
    return ParentDirectory(path.data());
}
