// Placeholder of the service manager calls for the Windows build until
// platform/service_manager_win32.cpp exists (cmake/windows.cmake takes that
// file instead as soon as it is there). Every call reports that there is no
// service manager: -install and -uninstall fail, -StartService serves as a
// console program, and everything else of the server works.
#include <windows.h>

#include "platform/service_manager.h"

namespace kestrun {

int CreateNewFile(const std::string&, const std::string&) {
  return ERROR_CALL_NOT_IMPLEMENTED;
}

bool ServiceManagerRunning() {
  return false;
}

int RunServiceControl(const std::vector<std::string>&) {
  return -1;
}

int NotifyServiceManager(const std::string&) {
  return 0;
}

}  // namespace kestrun
