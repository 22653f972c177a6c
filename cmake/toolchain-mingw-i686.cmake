# Windows x86 with Debian's MinGW-w64. This machine runs no 32-bit programs
# (and 32-bit Wine must not be installed beside the 64-bit one), so there is
# no emulator: the x86 DLL is checked statically by the test suite.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUARN_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
