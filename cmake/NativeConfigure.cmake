# Configures the cross build as a native Windows build sees the project:
# included after project() through CMAKE_PROJECT_TOP_LEVEL_INCLUDES by
# scripts/check-native-path.sh, it turns cross-compiling off and drops the
# emulator, so that no branch or property for the cross build applies.
# Programs the build would run are then started directly, which only Windows
# can do: the check builds the programs but runs none.
set(CMAKE_CROSSCOMPILING OFF)
unset(CMAKE_CROSSCOMPILING_EMULATOR)
unset(CMAKE_CROSSCOMPILING_EMULATOR CACHE)
