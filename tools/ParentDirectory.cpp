#include "AppDirectory.h"

std::wstring ParentDirectory(const std::wstring& path)
{
    const std::size_t lastBackslash = path.rfind(L'\\');
    if (lastBackslash == std::wstring::npos) {
        return path;
    }
    return path.substr(0, lastBackslash);
}
