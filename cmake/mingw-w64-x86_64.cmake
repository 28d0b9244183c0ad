# Cross-builds Kestrun for 64-bit Windows with Debian's mingw-w64 (the posix
# thread model, which std::thread needs):
#   cmake -S . -B build-windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KES_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KES_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KES_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KES_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KES_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs and DLLs carry their C and C++ runtimes, so a copied folder runs
# on any Windows (and under Wine) without the compiler's DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
