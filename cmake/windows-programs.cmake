# The Windows programs beside the server: the service's manager calls, the
# group-processor plug-ins as DLLs, kesnotify (program and DLL) and kesclient,
# with their tests run under Wine by scripts/test-windows.sh. Included by
# cmake/windows.cmake once the platform layer (kes_os) and protocol exist.

# The service control manager (advapi32) for -install, -uninstall and
# -StartService.
target_sources(kes_os PRIVATE ${CMAKE_SOURCE_DIR}/platform/service_manager_win32.cpp)
target_link_libraries(kes_os PUBLIC advapi32)

if(KES_TESTS)
  kes_windows_test(service_manager_tests
    SOURCES ${CMAKE_SOURCE_DIR}/tests/windows/service_manager_test.cpp
    LIBS kes_os)
  add_executable(service_program ${CMAKE_SOURCE_DIR}/tests/windows/service_program.cpp)
  target_link_libraries(service_program PRIVATE kes_os)
  add_dependencies(service_manager_tests service_program)
endif()
