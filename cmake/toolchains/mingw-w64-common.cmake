# What both mingw-w64 cross builds share; the architecture's toolchain file
# sets CMAKE_SYSTEM_PROCESSOR and KX7FW_MINGW_TRIPLET, then includes this.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: the test suites use std::thread, which the win32
# model of this GCC lacks. Its winpthread is linked statically like the rest
# of the runtime, so nothing but system DLLs is imported.
find_program(CMAKE_C_COMPILER NAMES ${KX7FW_MINGW_TRIPLET}-gcc-posix ${KX7FW_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KX7FW_MINGW_TRIPLET}-g++-posix ${KX7FW_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KX7FW_MINGW_TRIPLET}-windres REQUIRED)
find_program(CMAKE_OBJDUMP NAMES ${KX7FW_MINGW_TRIPLET}-objdump objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KX7FW_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# -O2 as in the native builds: at -O3 this GCC reports false -Wrestrict
# overlaps inside std::string's inlined copies.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of Release builds")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of Release builds")
