#pragma once

#include "UniqueHandle.h"

// A module loaded by LoadLibrary(Ex)W, freed once.
struct ModuleTraits {
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type value) { return value != nullptr; }
    static void Close(Type value) { FreeLibrary(value); }
};

using UniqueModule = UniqueHandle<ModuleTraits>;
