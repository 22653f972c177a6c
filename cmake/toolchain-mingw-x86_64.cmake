# Windows x64 with Debian's MinGW-w64. Programs built here run under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUARN_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# ctest and GoogleTest's test discovery start the programs through Wine, with
# a prefix of this build tree's own (see wine-run.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh
    ${CMAKE_BINARY_DIR}/wineprefix)
