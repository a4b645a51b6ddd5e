# Cross-builds the players' Windows program on Linux with Debian's mingw-w64:
# 32-bit, which every Windows from XP on runs, 64-bit ones included.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingw_triplet i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
