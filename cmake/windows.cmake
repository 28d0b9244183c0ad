# The Windows build: the modules whose operating-system files have a win32
# version so far, and their tests. Included by the top-level CMakeLists.txt
# when the target system is Windows.
#
# Windows 10 API level (WSAPoll, job objects, the process attribute list);
# wide-character Win32 calls; windows.h without min/max macros; the C
# runtime's thread-safe localtime_r (over localtime_s) for portable code.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE NOMINMAX
                        WIN32_LEAN_AND_MEAN _POSIX_THREAD_SAFE_FUNCTIONS)

# The platform layer, as far as it is ported: the error texts the socket
# files name failures with.
add_library(kes_os STATIC platform/error_text_win32.cpp)

add_subdirectory(protocol)

if(KES_TESTS)
  # GoogleTest from Debian's sources (/usr/src/googletest), built with the
  # cross compiler: nothing is downloaded.
  set(KES_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KES_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # (its CMake project defines the GTest::gtest and GTest::gtest_main names)
  add_subdirectory(tests/windows)
endif()
include(cmake/windows-programs.cmake)
