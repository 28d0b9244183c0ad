// A temporary server home with a kestrun.conf, and helpers to read it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config/server_config.h"

namespace kestrun::testconf {

class TempHome {
 public:
  TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kesconf-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempHome() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::string ConfPath() const { return File("kestrun.conf"); }

  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  void WriteConf(const std::string& text) const { Write("kestrun.conf", text); }
  std::string Read(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(File(name)); }

 private:
  std::string path_;
};

// What one read printed.
struct Printed {
  std::string out;
  std::string err;
};

inline Printed LoadCapturing(ServerConfig& config) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  LoadServerConfig(config);
  Printed p;
  p.out = testing::internal::GetCapturedStdout();
  p.err = testing::internal::GetCapturedStderr();
  return p;
}

inline Printed ReloadCapturing(ServerConfig& config) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ReloadServerConfig(config);
  Printed p;
  p.out = testing::internal::GetCapturedStdout();
  p.err = testing::internal::GetCapturedStderr();
  return p;
}

// A home whose kestrun.conf holds `text`, read once (output captured).
struct LoadedHome {
  explicit LoadedHome(const std::string& text) : config(home.ConfPath()) {
    home.WriteConf(text);
    printed = LoadCapturing(config);
  }
  const JobDefinition& Job(size_t k) const { return config.Snapshot()->jobs.at(k); }
  size_t JobCount() const { return config.Snapshot()->jobs.size(); }

  TempHome home;
  ServerConfig config;
  Printed printed;
};

}  // namespace kestrun::testconf
