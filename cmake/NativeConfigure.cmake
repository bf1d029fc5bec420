# Configures the cross build as a native Windows build sees the project:
# included after project() through CMAKE_PROJECT_TOP_LEVEL_INCLUDES by
# scripts/check-native-path.sh, it turns cross-compiling off and drops the
# emulator, so that nothing meant for the cross build applies.
set(CMAKE_CROSSCOMPILING OFF)
unset(CMAKE_CROSSCOMPILING_EMULATOR)
unset(CMAKE_CROSSCOMPILING_EMULATOR CACHE)
# Windows starts the build's programs itself; Linux cannot. The check names
# a launcher for custom commands that stands in for that, outside the
# project's own command lines.
if(NATIVE_CHECK_LAUNCHER)
    set_property(GLOBAL PROPERTY RULE_LAUNCH_CUSTOM "${NATIVE_CHECK_LAUNCHER}")
endif()
