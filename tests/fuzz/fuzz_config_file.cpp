// Feeds arbitrary file contents to the reader of kestrun.conf, as a first
// read or as a reload (chosen by the first byte), and walks what it built.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/text.h"
#include "config/config_reader.h"
#include "config/server_config.h"

namespace {

std::string& ConfPath() {
  static std::string path = [] {
    std::string dir = (std::filesystem::temp_directory_path() / "kesfuzz-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) std::abort();
    return dir + "/kestrun.conf";
  }();
  return path;
}

std::FILE* Null() {
  static std::FILE* null = std::fopen("/dev/null", "w");
  return null;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool firstRead = data[0] & 1;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  {
    std::ofstream out(ConfPath(), std::ios::binary | std::ios::trunc);
    out << text;
  }
  const std::string lower = kestrun::LowerCase(text);
  // The group-processor directive loads the named library (and a first read
  // ends the process when it cannot); inputs that use it are not read.
  if (lower.find("groupprocessor") != std::string::npos) return 0;
  kestrun::ServerConfig config(ConfPath());
  // A first read takes the log file from the input; never let an input name a
  // file for the fuzzer to write to.
  const bool namesLog = lower.find("logfile") != std::string::npos;
  kestrun::ConfigReader(config, !firstRead || namesLog, Null(), Null()).Read();
  // A second read builds its snapshot on top of the first.
  kestrun::ConfigReader(config, true, Null(), Null()).Read();

  size_t total = 0;
  const auto snapshot = config.Snapshot();
  for (const kestrun::JobDefinition& job : snapshot->jobs) {
    total += job.fields.size() + job.params.size() + job.name.size();
    if (std::optional<kestrun::JobDefinition> copy =
            kestrun::FindJobForUser(config, job.name, std::nullopt))
      total += copy->icons.size();
  }
  for (const kestrun::ScheduleEntry& entry : snapshot->schedule) {
    if (entry.job >= snapshot->jobs.size()) std::abort();
    total += entry.times.size();
  }
  return total == static_cast<size_t>(-1);
}
