#include "DllSearch.h"

#include <windows.h>

bool RestrictDllSearchToSystem32()
{
    // Looked up, not imported: an import the system lacks would stop the
    // program before main.
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) {
        return false;
    }
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    // GetProcAddress hands every export out as one generic function type.
    auto* setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    return setDefaultDllDirectories != nullptr && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}
