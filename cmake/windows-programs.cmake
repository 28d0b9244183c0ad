# The Windows programs beside the server: the service's manager calls, the
# group-processor plug-ins as DLLs, kesnotify (program and DLL) and kesclient,
# with their tests run under Wine by scripts/test-windows.sh. Included by
# cmake/windows.cmake once the platform layer (kes_os) and protocol exist.

# The service control manager (advapi32) for -install, -uninstall and
# -StartService.
target_sources(kes_os PRIVATE ${CMAKE_SOURCE_DIR}/platform/service_manager_win32.cpp)
target_link_libraries(kes_os PUBLIC advapi32)

# Group-processor plug-ins as DLLs exporting the five functions of kesgp.h
# (kesgp.def): the file plug-in and the local groups of NetAPI32.
set(kes_plugins ${CMAKE_SOURCE_DIR}/plugins)
add_library(kesgp_support_win OBJECT ${kes_plugins}/group_list.cpp
  ${kes_plugins}/file_stamp_win32.cpp ${kes_plugins}/group_file.cpp
  ${kes_plugins}/read_file_win32.cpp ${kes_plugins}/library_folder_win32.cpp)
foreach(plugin kesgp_file kesgp_windows)
  add_library(${plugin} SHARED ${kes_plugins}/${plugin}.cpp ${kes_plugins}/kesgp.def
    $<TARGET_OBJECTS:kesgp_support_win>)
  # Beside the programs, as in an installed home; no "lib" prefix.
  set_target_properties(${plugin} PROPERTIES PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
endforeach()
target_link_libraries(kesgp_windows PRIVATE netapi32)

# kesnotify.dll: SendNotification and SendNotificationEx (kesnotify.def),
# with the message code inside it.
set(kes_kesnotify ${CMAKE_SOURCE_DIR}/tools/kesnotify)
add_library(kesnotify SHARED ${kes_kesnotify}/send_notification.cpp ${kes_kesnotify}/kesnotify.def)
target_link_libraries(kesnotify PRIVATE kes_protocol)
set_target_properties(kesnotify PROPERTIES PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})

# kesnotify.exe beside its DLL; the port comes from the kestrun.conf beside it.
if(NOT TARGET kes_client)
  add_subdirectory(${CMAKE_SOURCE_DIR}/client ${CMAKE_BINARY_DIR}/client)
endif()
add_library(kesnotify_options STATIC ${kes_kesnotify}/tool_options.cpp)
target_link_libraries(kesnotify_options PUBLIC kes_os)
add_executable(kesnotify_program ${kes_kesnotify}/main.cpp)
set_target_properties(kesnotify_program PROPERTIES OUTPUT_NAME kesnotify)
target_link_libraries(kesnotify_program PRIVATE kesnotify kesnotify_options kes_client kes_protocol)

# kesclient.exe: every command but the desktop ones (dialog, dock, menu),
# which say that they need the Linux client or the web console.
set(kes_kesclient ${CMAKE_SOURCE_DIR}/tools/kesclient)
add_executable(kesclient ${kes_kesclient}/main.cpp ${kes_kesclient}/listing.cpp
  ${kes_kesclient}/requests.cpp ${kes_kesclient}/run_job.cpp ${kes_kesclient}/history.cpp
  ${kes_kesclient}/console_win32.cpp ${kes_kesclient}/desktop_none.cpp)
target_link_libraries(kesclient PRIVATE kes_client kes_protocol kes_os Threads::Threads)

if(KES_TESTS)
  kes_windows_test(service_manager_tests
    SOURCES ${CMAKE_SOURCE_DIR}/tests/windows/service_manager_test.cpp
    LIBS kes_os)
  add_executable(service_program ${CMAKE_SOURCE_DIR}/tests/windows/service_program.cpp)
  target_link_libraries(service_program PRIVATE kes_os)
  add_dependencies(service_manager_tests service_program)
  # A C program that calls kesnotify.dll through kesnotify.h alone.
  add_executable(c_caller ${CMAKE_SOURCE_DIR}/tests/tools/c_caller.c)
  target_include_directories(c_caller PRIVATE ${kes_kesnotify})
  target_link_libraries(c_caller PRIVATE kesnotify)
  kes_windows_test(group_plugin_tests
    SOURCES ${CMAKE_SOURCE_DIR}/tests/windows/group_plugins_test.cpp)
  add_dependencies(group_plugin_tests kesgp_file kesgp_windows)
  # KestrunServer.exe on a console of the test's own, stopped by a Ctrl+C
  # while kesclient.exe has a run of the test child going.
  kes_windows_test(console_control_tests
    SOURCES ${CMAKE_SOURCE_DIR}/tests/windows/console_control_test.cpp
      ${CMAKE_SOURCE_DIR}/tests/windows/free_port.cpp
    LIBS kes_protocol)
  add_dependencies(console_control_tests KestrunServer kesclient kes_win_child)
endif()
