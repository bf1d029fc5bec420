#include "ConsoleOutput.h"

#include <iostream>

// std::endl writes the stream's widened '\n' and flushes it. Both streams stay
// synchronised with C stdio, so they share the one stdout buffer.

void WriteLine(const char* text)
{
    std::cout << text << std::endl;
}

void WriteLine(const char* text, std::int32_t number)
{
    std::cout << text << number << std::endl;
}

void WriteLine(const std::wstring& text)
{
    std::wcout << text << std::endl;
}
