// The Windows service control manager: the service is an entry of the
// manager's database, created with CreateServiceW and deleted with
// DeleteService; a process started as the service hands its main thread to
// the control dispatcher (StartServiceCtrlDispatcherW), which starts the
// service's main function on a thread of its own and calls the control
// handler back on the main thread when the service is to stop.
//
// Threads: the dispatcher (main) thread runs the control handler and `stop`;
// the service main thread runs `serve`, which serves until the process ends.
#include <windows.h>

#include <string>

#include "platform/service_manager.h"

namespace kestrun {

namespace {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

// Owns a handle of the service control manager or of one service.
class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  ~ScHandle() {
    if (handle_ != nullptr) ::CloseServiceHandle(handle_);
  }
  explicit operator bool() const { return handle_ != nullptr; }
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

int LastError() {
  return static_cast<int>(::GetLastError());
}

// The manager starts the program from the command line it stores, which the
// system splits at blanks: a path with a blank is quoted, or "C:\Program"
// would be taken for the program. Separators are the system's own.
std::wstring ServiceCommandLine(const ServiceDefinition& service) {
  std::wstring program = Wide(service.program);
  for (wchar_t& c : program) {
    if (c == L'/') c = L'\\';
  }
  if (program.find_first_of(L" \t") != std::wstring::npos) program = L"\"" + program + L"\"";
  return program + L" " + Wide(service.argument);
}

// What the process started as a service needs in the callbacks of the
// manager. ServiceMain takes no context argument, so the one service of the
// process is reached through `running`, set once before the dispatcher starts
// and never changed while it runs. The control handler gets it as its context.
struct RunningService {
  std::wstring name;
  const std::function<void()>* serve = nullptr;
  const std::function<void()>* stop = nullptr;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  SERVICE_STATUS status{};
};

RunningService* running = nullptr;

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void* context) {
  auto* service = static_cast<RunningService*>(context);
  // Only stop is accepted; every other control is answered as handled.
  if (control == SERVICE_CONTROL_STOP) (*service->stop)();
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  RunningService* service = running;
  service->status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  service->status.dwCurrentState = SERVICE_START_PENDING;
  service->status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  service->statusHandle =
      ::RegisterServiceCtrlHandlerExW(service->name.c_str(), ControlHandler, service);
  if (service->statusHandle == nullptr) return;
  service->status.dwCurrentState = SERVICE_RUNNING;
  ::SetServiceStatus(service->statusHandle, &service->status);  // a failure is not fatal
  (*service->serve)();
}

}  // namespace

ServiceChange InstallSystemService(const ServiceDefinition& service) {
  const ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return {ServiceStep::kNoManager, "", LastError()};
  const std::wstring name = Wide(service.name);
  const std::wstring display = Wide(service.displayName);
  const std::wstring commandLine = ServiceCommandLine(service);
  // No account and password: the local system account.
  const ScHandle created(
      ::CreateServiceW(manager.get(), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!created) return {ServiceStep::kCreateFailed, service.name, LastError()};
  std::wstring description = Wide(service.description);
  SERVICE_DESCRIPTIONW text{description.data()};
  ::ChangeServiceConfig2W(created.get(), SERVICE_CONFIG_DESCRIPTION, &text);
  return {};
}

ServiceChange RemoveSystemService(const ServiceDefinition& service) {
  const ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return {ServiceStep::kNoManager, "", LastError()};
  const ScHandle opened(
      ::OpenServiceW(manager.get(), Wide(service.name).c_str(), SERVICE_ALL_ACCESS));
  if (!opened) return {ServiceStep::kNotInstalled, service.name, LastError()};
  if (!::DeleteService(opened.get()))
    return {ServiceStep::kDeleteFailed, service.name, LastError()};
  return {};
}

bool RunUnderServiceManager(const ServiceDefinition& service, const std::function<void()>& serve,
                            const std::function<void()>& stop) {
  RunningService state;
  state.name = Wide(service.name);
  state.serve = &serve;
  state.stop = &stop;
  running = &state;
  SERVICE_TABLE_ENTRYW table[] = {{state.name.data(), ServiceMain}, {nullptr, nullptr}};
  // Fails at once (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) when the manager
  // did not start this process; otherwise returns once the service stopped.
  const bool dispatched = ::StartServiceCtrlDispatcherW(table) != 0;
  running = nullptr;
  return dispatched;
}

void ReportServiceReady() {}

int ReportServiceStopped() {
  RunningService* service = running;
  if (service == nullptr || service->statusHandle == nullptr) return ERROR_INVALID_HANDLE;
  service->status.dwCurrentState = SERVICE_STOPPED;
  service->status.dwWin32ExitCode = NO_ERROR;
  service->status.dwServiceSpecificExitCode = 0;
  service->status.dwCheckPoint = 0;
  service->status.dwWaitHint = 0;
  if (!::SetServiceStatus(service->statusHandle, &service->status)) return LastError();
  return 0;
}

}  // namespace kestrun
