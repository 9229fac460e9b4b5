# Shared part of the MinGW-w64 cross toolchains. The including file sets
# TOLVAK_MINGW_TRIPLE (x86_64-w64-mingw32 or i686-w64-mingw32) and
# CMAKE_SYSTEM_PROCESSOR first.
#
# The "-posix" compiler variants use the POSIX thread model, which the C++
# standard library's threads (and GoogleTest) need.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TOLVAK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOLVAK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TOLVAK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOLVAK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
