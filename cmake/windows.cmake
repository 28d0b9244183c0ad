# The Windows build: the server and its libraries, and the Windows test
# programs. Included by the top-level CMakeLists.txt when the target system
# is Windows.
#
# Windows 10 API level (WSAPoll, job objects, the process attribute list);
# wide-character Win32 calls; windows.h without min/max macros; the C
# runtime's thread-safe localtime_r (over localtime_s) for portable code.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE NOMINMAX
                        WIN32_LEAN_AND_MEAN _POSIX_THREAD_SAFE_FUNCTIONS)

# The platform layer: one win32 file beside each posix file, and the files
# that are the same on both systems.
add_library(kes_os STATIC
  platform/child_end_win32.cpp
  platform/dynamic_library_win32.cpp
  platform/error_text_win32.cpp
  platform/event.cpp
  platform/filesystem_win32.cpp
  platform/home_directory_win32.cpp
  platform/interrupts_win32.cpp
  platform/job_files_win32.cpp
  platform/local_time_win32.cpp
  platform/memory_win32.cpp
  platform/pipe_win32.cpp
  platform/process_tree.cpp
  platform/process_tree_win32.cpp
  platform/process_win32.cpp
  platform/socket_owner_win32.cpp
  platform/this_process_win32.cpp
  platform/thread_win32.cpp
  platform/unique_fd_win32.cpp
  platform/wakeup_win32.cpp
  platform/windows_command_line.cpp
)
target_link_libraries(kes_os PUBLIC Threads::Threads ws2_32 iphlpapi)

# No SQLite library exists for the cross-compiler: the run history is off.
set(KES_HISTORY_SQLITE OFF CACHE BOOL "" FORCE)

# The modules from the bottom layer up, as in the Linux build.
add_subdirectory(protocol)
add_subdirectory(base)
add_subdirectory(config)
add_subdirectory(history)
add_subdirectory(launch)
add_subdirectory(core)
add_subdirectory(jobs)
add_subdirectory(notify)
add_subdirectory(dialogs)
add_subdirectory(scheduler)
# The web console needs Boost, OpenSSL and PAM, which the cross-compiler
# lacks: the server is built without it (a webport setting gets a warning).
add_library(kes_web STATIC web/web_console_none.cpp)
target_link_libraries(kes_web PUBLIC kes_core)
add_subdirectory(server)
# The dialog previewer is a Linux developer tool.
set_target_properties(kes_dialog_preview PROPERTIES EXCLUDE_FROM_ALL ON)

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

# The Windows programs besides the server and the service manager calls
# (the service control manager, kesclient, kesnotify, the group plug-ins);
# after the tests' folder, whose kes_windows_test it uses.
include(${CMAKE_CURRENT_LIST_DIR}/windows-programs.cmake)
