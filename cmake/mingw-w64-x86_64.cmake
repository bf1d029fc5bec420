# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(toolchainPrefix x86_64-w64-mingw32)
# The POSIX thread model gives std::thread and std::mutex (GoogleTest needs
# them); -static links its runtime into the executables.
set(CMAKE_C_COMPILER ${toolchainPrefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${toolchainPrefix}-g++-posix)
set(CMAKE_RC_COMPILER ${toolchainPrefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${toolchainPrefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The build's own programs (the test support that writes files at build time,
# the tests, the kit check) are Windows programs: they run under Wine, in a
# prefix of the build folder's Wine bench, never in the user's own. Custom
# commands and tests name the program's target and CMake puts this in front.
find_program(WINE_PROGRAM wine REQUIRED)
find_program(BASH_PROGRAM bash REQUIRED)
get_filename_component(wineBenchScript ${CMAKE_CURRENT_LIST_DIR}/../tests/bench/wine-bench.sh ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${BASH_PROGRAM} ${wineBenchScript} run ${CMAKE_BINARY_DIR}/wine)
