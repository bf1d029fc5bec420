#pragma once

#include <windows.h>

// The function `name` of the system DLL `dll`, loaded from System32 and
// nowhere else (never beside the executable, from the current folder or from
// PATH), which stays loaded for the rest of the process. Null when it cannot
// be had: the DLL or the function is missing, or the system lacks the search
// flag (Windows 7 without KB2533623).
template <typename Function> Function SystemFunction(const wchar_t* dll, const char* name)
{
    HMODULE module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        return nullptr;
    }
    // GetProcAddress hands every export out as one generic function type.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
