# Shared part of the MinGW-w64 toolchain files: ZRK_MINGW_TRIPLET names the target.
#
# Debian installs the compilers as <triplet>-gcc-posix and <triplet>-g++-posix (the plain names
# are alternatives that may point at either thread model); take the posix ones by name.
find_program(CMAKE_C_COMPILER NAMES ${ZRK_MINGW_TRIPLET}-gcc-posix ${ZRK_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZRK_MINGW_TRIPLET}-g++-posix ${ZRK_MINGW_TRIPLET}-g++
             REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ZRK_MINGW_TRIPLET}-windres REQUIRED)

# Libraries and headers come from the MinGW-w64 sysroot only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ZRK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
