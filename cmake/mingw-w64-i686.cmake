# Cross build for 32-bit Windows, the reference platform. Compiled only:
# running it would need 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOLVAK_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
