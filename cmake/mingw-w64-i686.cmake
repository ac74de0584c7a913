# Cross-compiling for Windows (i686) with MinGW-w64 (Debian package
# g++-mingw-w64-i686); used to check the 32-bit pass-through layout.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZF_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
