# mingw-w64.cmake: cross-compiles credvane for 64-bit Windows with mingw-w64 on Linux.
# Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_triple x86_64-w64-mingw32)
# The posix-threads variant: its libstdc++ has std::thread and friends, which GoogleTest
# and the test harness may use; the product itself starts no threads.
set(CMAKE_C_COMPILER ${mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the executables carry libgcc, libstdc++ and winpthread inside, so a
# node (or wine) needs no mingw DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
