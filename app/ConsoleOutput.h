#pragma once

#include <cstdint>
#include <string>

// Message lines on standard output. Each line is written, ended with a line
// feed and flushed before the call returns, so lines from the narrow and the
// wide stream come out in the order they were written.
void WriteLine(const char* text);
void WriteLine(const char* text, std::int32_t number);
void WriteLine(const std::wstring& text);
