// Test helper: a server context read from a kestrun.conf in a temporary home,
// with kesgp_file as group processor over a fixed group file, a registry with
// a settable clock, and UDP listeners on loopback standing for docked clients.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <string>

#include "base/log.h"
#include "config/server_config.h"
#include "core/context.h"
#include "launch/running_jobs.h"
#include "notify/docked_registry.h"
#include "tests/config/conf_fixture.h"
#include "tests/support/dispatcher_exchange.h"

namespace kestrun::test {

inline const char* const kGroupFile =
    "Ops:bob\n"
    "Dev:carol,bob\n"
    "Far:zed\n"
    "Empty:\n";

struct NotifyRig {
  explicit NotifyRig(const std::string& rest = "") : config(home.ConfPath()) {
    home.Write("groups.txt", kGroupFile);
    ::setenv("KESGP_FILE", home.File("groups.txt").c_str(), 1);
    home.WriteConf("logfile = " + home.File("server.log") +
                   "\ngroupprocessor = " + KESGP_FILE_PATH + "\n" + rest);
    testconf::LoadCapturing(config);
    context.config = &config;
    context.docked = &docked;
    context.runningJobs = &running;
  }
  std::string Log() const { return home.Read("server.log"); }
  // Docks user@host on loopback at `port`.
  void Dock(const std::string& user, const std::string& host, int port) {
    docked.DockOrRefresh(host, 0x7F000001, port, user);
  }

  testconf::TempHome home;
  ServerConfig config;
  std::time_t now = 100000;
  DockedRegistry docked{
      [this] { return now; },
      [this](const std::string& line) { LogMessage(config, "%s", line.c_str()); }};
  RunningJobTable running;
  ServerContext context;
};

}  // namespace kestrun::test
