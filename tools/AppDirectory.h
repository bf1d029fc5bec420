#pragma once

#include <string>

// The directory of the running executable, without a trailing backslash.
// Empty when the path cannot be read whole: a directory cut from a truncated
// path would point the shipped tools at the wrong place.
std::wstring AppDirectory();

// The part of path before its last backslash, or path unchanged when it holds
// none. Only the backslash separates.
std::wstring ParentDirectory(const std::wstring& path);
