# Cross build for 64-bit Windows; tests run under Wine (see wine-run.sh).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOLVAK_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
