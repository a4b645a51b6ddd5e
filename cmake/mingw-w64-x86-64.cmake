# Cross-builds the 64-bit Windows program on Linux with Debian's mingw-w64:
# not for players, but tested, as it catches mistakes about pointer sizes.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_triplet x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
