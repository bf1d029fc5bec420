#pragma once

// The DLL names that the Windows loader resolves without the kit: DLLs in
// System32 of every Windows 10 and 11 x64, the KnownDLLs among them, and the
// API sets that every such Windows resolves. Names compare without case.

#include <string>

// The file the loader looks for when an image imports `importName`: a name
// without an extension gets ".dll", and trailing dots and blanks are dropped
// (so "libfoo." names the file "libfoo").
std::string LoaderFileName(const std::string& importName);

// Whether the name is an API set contract ("api-..." or "ext-..."), which the
// loader resolves through its schema rather than as a file.
bool IsApiSetName(const std::string& importName);

// Whether Windows 10 and 11 x64 provide it: a DLL in System32 or an API set
// that every such Windows resolves.
bool IsProvidedByWindows(const std::string& importName);

// Whether it is a KnownDLL: Windows maps its own copy whatever lies beside the
// program.
bool IsKnownDll(const std::string& importName);
