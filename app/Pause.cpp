#include "Pause.h"

#include <windows.h>

void Pause(std::uint32_t milliseconds)
{
    Sleep(milliseconds);
}
