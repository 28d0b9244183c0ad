// A program run as a service by service_manager_test: under the manager it
// writes "serving" to the file named by its second argument and waits; the
// stop control appends " stopped" and reports the stop; the dispatcher then
// returns and the program ends with status 0.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/service_manager.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string marker = argv[2];
  kestrun::ServiceDefinition service;
  service.name = "KestrunServiceRunTest";
  const auto note = [&](const char* text) {
    if (std::FILE* f = std::fopen(marker.c_str(), "ab")) {
      std::fputs(text, f);
      std::fclose(f);
    }
  };
  const std::function<void()> serve = [&] {
    note("serving");
    for (;;) ::Sleep(1000);
  };
  const std::function<void()> stop = [&] {
    note(" stopped");
    kestrun::ReportServiceStopped();
  };
  return kestrun::RunUnderServiceManager(service, serve, stop) ? 0 : 1;
}
