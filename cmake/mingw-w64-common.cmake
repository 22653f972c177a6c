# Shared part of the MinGW-w64 toolchain files. The including file sets
# QUARN_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix compilers: their C++ runtime has std::thread and std::mutex,
# which GoogleTest needs. The library itself uses neither.
set(CMAKE_C_COMPILER ${QUARN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUARN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUARN_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${QUARN_MINGW_TRIPLET}-dlltool)
set(CMAKE_OBJDUMP ${QUARN_MINGW_TRIPLET}-objdump)

# Headers, libraries and packages come from the MinGW sysroot only, so the
# host's Linux builds of GoogleTest and friends are never picked up; programs
# (Python, Wine) come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QUARN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program links libgcc, libstdc++ and winpthread statically, so
# it needs no MinGW runtime DLL beside it, on Windows or under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
