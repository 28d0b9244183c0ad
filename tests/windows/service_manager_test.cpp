// The service under the Windows service control manager (Wine's accepts
// CreateService): the settings an install stores, the steps of a second
// install and of removing twice, and a program started from a console that
// is not let in by the dispatcher. A service of the test's own name is used,
// so an installed KestrunServer is never touched.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/service_manager.h"

namespace kestrun {
namespace {

ServiceDefinition TestService() {
  ServiceDefinition service;
  service.name = "KestrunServiceTest";
  service.displayName = "Kestrun Service Test";
  service.description =
      "Allows pre-configured jobs to run on this node on request from Kestrun Clients";
  service.program = "C:\\Kestrun Home/KestrunServer.exe";
  service.argument = "-StartService";
  return service;
}

struct Stored {
  std::vector<unsigned char> config;
  std::wstring description;
  QUERY_SERVICE_CONFIGW* operator->() {
    return reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
  }
};

// The manager's record of the service, or an empty config when it has none.
Stored Query(const std::wstring& name) {
  Stored stored;
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) return stored;
  SC_HANDLE service = ::OpenServiceW(manager, name.c_str(), SERVICE_QUERY_CONFIG);
  if (service != nullptr) {
    DWORD needed = 0;
    ::QueryServiceConfigW(service, nullptr, 0, &needed);
    stored.config.resize(needed);
    if (!::QueryServiceConfigW(service,
                               reinterpret_cast<QUERY_SERVICE_CONFIGW*>(stored.config.data()),
                               needed, &needed))
      stored.config.clear();
    std::vector<unsigned char> text;
    ::QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    text.resize(needed);
    if (needed > 0 &&
        ::QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, text.data(), needed, &needed)) {
      const auto* d = reinterpret_cast<SERVICE_DESCRIPTIONW*>(text.data());
      if (d->lpDescription != nullptr) stored.description = d->lpDescription;
    }
    ::CloseServiceHandle(service);
  }
  ::CloseServiceHandle(manager);
  return stored;
}

TEST(WindowsService, InstallStoresTheSettingsAndRemoveDeletesThem) {
  const ServiceDefinition service = TestService();
  RemoveSystemService(service);  // left over from an interrupted run
  ASSERT_EQ(InstallSystemService(service).step, ServiceStep::kDone);
  Stored stored = Query(L"KestrunServiceTest");
  ASSERT_FALSE(stored.config.empty());
  EXPECT_EQ(stored->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(stored->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(stored->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  // A blank in the path: quoted, with the system's separators.
  EXPECT_EQ(std::wstring(stored->lpBinaryPathName),
            L"\"C:\\Kestrun Home\\KestrunServer.exe\" -StartService");
  EXPECT_EQ(std::wstring(stored->lpDisplayName), L"Kestrun Service Test");
  EXPECT_EQ(std::wstring(stored->lpServiceStartName), L"LocalSystem");
  EXPECT_TRUE(stored->lpDependencies == nullptr || stored->lpDependencies[0] == L'\0');
  EXPECT_EQ(stored.description,
            L"Allows pre-configured jobs to run on this node on request from Kestrun Clients");

  const ServiceChange again = InstallSystemService(service);
  EXPECT_EQ(again.step, ServiceStep::kCreateFailed);
  EXPECT_EQ(again.error, ERROR_SERVICE_EXISTS);

  EXPECT_EQ(RemoveSystemService(service).step, ServiceStep::kDone);
  EXPECT_TRUE(Query(L"KestrunServiceTest").config.empty());
  EXPECT_EQ(RemoveSystemService(service).step, ServiceStep::kNotInstalled);
}

TEST(WindowsService, PlainPathIsStoredUnquoted) {
  ServiceDefinition service = TestService();
  service.program = "C:\\Kestrun\\KestrunServer.exe";
  RemoveSystemService(service);
  ASSERT_EQ(InstallSystemService(service).step, ServiceStep::kDone);
  Stored stored = Query(L"KestrunServiceTest");
  ASSERT_FALSE(stored.config.empty());
  EXPECT_EQ(std::wstring(stored->lpBinaryPathName),
            L"C:\\Kestrun\\KestrunServer.exe -StartService");
  EXPECT_EQ(RemoveSystemService(service).step, ServiceStep::kDone);
}

// Waits up to ten seconds for the service's state to become `state`.
bool AwaitState(SC_HANDLE service, DWORD state) {
  for (int i = 0; i < 200; ++i) {
    SERVICE_STATUS status{};
    if (::QueryServiceStatus(service, &status) && status.dwCurrentState == state) return true;
    ::Sleep(50);
  }
  return false;
}

std::string ReadFile(const std::string& path) {
  std::string text;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char chunk[256];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
    std::fclose(f);
  }
  return text;
}

// The manager starts the installed program, which serves once the service
// main runs, and stops it through the control handler.
TEST(WindowsService, StartedByTheManagerServesAndStopsOnTheStopControl) {
  char self[MAX_PATH];
  const DWORD n = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string folder(self, n);
  folder.resize(folder.rfind('\\'));
  const std::string marker = folder + "\\service_marker.txt";
  std::remove(marker.c_str());
  ServiceDefinition service = TestService();
  service.name = "KestrunServiceRunTest";
  service.program = folder + "\\service_program.exe";
  service.argument = "-StartService \"" + marker + "\"";
  RemoveSystemService(service);
  ASSERT_EQ(InstallSystemService(service).step, ServiceStep::kDone);
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE handle = ::OpenServiceW(manager, L"KestrunServiceRunTest", SERVICE_ALL_ACCESS);
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(::StartServiceW(handle, 0, nullptr));
  EXPECT_TRUE(AwaitState(handle, SERVICE_RUNNING));
  for (int i = 0; i < 200 && ReadFile(marker).empty(); ++i) ::Sleep(50);
  EXPECT_EQ(ReadFile(marker), "serving");
  SERVICE_STATUS status{};
  EXPECT_TRUE(::ControlService(handle, SERVICE_CONTROL_STOP, &status));
  EXPECT_TRUE(AwaitState(handle, SERVICE_STOPPED));
  EXPECT_EQ(ReadFile(marker), "serving stopped");
  ::CloseServiceHandle(handle);
  ::CloseServiceHandle(manager);
  EXPECT_EQ(RemoveSystemService(service).step, ServiceStep::kDone);
  std::remove(marker.c_str());
}

TEST(WindowsService, FromAConsoleTheDispatcherDoesNotTakeTheProcess) {
  bool served = false;
  const std::function<void()> serve = [&] { served = true; };
  const std::function<void()> stop = [] {};
  EXPECT_FALSE(RunUnderServiceManager(TestService(), serve, stop));
  EXPECT_FALSE(served);
  EXPECT_EQ(ReportServiceStopped(), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace kestrun
