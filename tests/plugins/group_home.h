// Test helper: a configuration read in this process whose kestrun.conf names
// a group processor, with the server log in the same temporary home, and the
// test controls of the tiny plug-in (tiny_plugin.c).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "config/server_config.h"
#include "tests/config/conf_fixture.h"
#include "tests/plugins/plugin_loader.h"

namespace kestrun::testplugins {

// kestrun.conf text: the log in `home`, then `groupprocessor path` when a path
// is given, then `rest`.
inline std::string GroupConf(const testconf::TempHome& home, const std::string& pluginPath,
                             const std::string& rest = "") {
  std::string text = "logfile = " + home.File("server.log") + "\n";
  if (!pluginPath.empty()) text += "groupprocessor = " + pluginPath + "\n";
  return text + "\n" + rest;
}

// Jobs used by the permission tests.
inline const char* const kGroupJobs =
    "Backup:\n"
    "program = backup.sh\n"
    "group = Admins,Operators\n"
    "\n"
    "Restore:\n"
    "program = restore.sh\n"
    "group = Admins\n"
    "\n"
    "Spaced:\n"
    "program = spaced.sh\n"
    "group = Admins, Operators\n"
    "\n"
    "Open:\n"
    "program = open.sh\n";

// The tiny plug-in's counters and switches. The plug-in's state lives as long
// as the process, so tests compare counts before and after.
class TinyControls {
 public:
  explicit TinyControls(const std::string& path = TINY_PLUGIN_PATH) : plugin_(path) {
    count_ = plugin_.Symbol<int (*)(const char*)>("tiny_count");
    setChanged_ = plugin_.Symbol<void (*)(int)>("tiny_set_changed");
    lastUser_ = plugin_.Symbol<const char* (*)()>("tiny_last_user");
  }
  bool ok() const { return count_ != nullptr && setChanged_ != nullptr && lastUser_ != nullptr; }
  int Count(const char* what) const { return count_(what); }
  void SetChanged(int value) const { setChanged_(value); }
  std::string LastUser() const { return lastUser_(); }

 private:
  LoadedPlugin plugin_;
  int (*count_)(const char*) = nullptr;
  void (*setChanged_)(int) = nullptr;
  const char* (*lastUser_)() = nullptr;
};

// A home whose configuration is read (first read) with its output captured.
struct GroupHome {
  explicit GroupHome(const std::string& pluginPath, const std::string& rest = kGroupJobs)
      : config(home.ConfPath()) {
    home.WriteConf(GroupConf(home, pluginPath, rest));
    printed = testconf::LoadCapturing(config);
  }
  // Rewrites kestrun.conf and reloads it (output captured).
  testconf::Printed Reload(const std::string& pluginPath, const std::string& rest = kGroupJobs) {
    home.WriteConf(GroupConf(home, pluginPath, rest));
    return testconf::ReloadCapturing(config);
  }
  std::string Log() const { return home.Read("server.log"); }

  testconf::TempHome home;
  ServerConfig config;
  testconf::Printed printed;
};

// The log's lines without their time stamps ("YYYY-MM-DD hh:mm:ss ").
inline std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    lines.push_back(line.size() > 20 ? line.substr(20) : line);
    start = end + 1;
  }
  return lines;
}

}  // namespace kestrun::testplugins
