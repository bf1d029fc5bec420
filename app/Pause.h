#pragma once

#include <cstdint>

// Blocks the program's only thread; kept in its own unit so that the update
// sequence can be tested without real seconds passing.
void Pause(std::uint32_t milliseconds);
