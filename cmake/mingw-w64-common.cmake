# Shared part of the MinGW-w64 toolchain files: the including file sets
# CMAKE_SYSTEM_PROCESSOR and ZF_MINGW_PREFIX first. The POSIX threading
# flavour of the compiler is used: it provides std::thread through
# winpthreads, linked statically.
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_C_COMPILER NAMES ${ZF_MINGW_PREFIX}-gcc-posix ${ZF_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZF_MINGW_PREFIX}-g++-posix ${ZF_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ZF_MINGW_PREFIX}-windres windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${ZF_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
