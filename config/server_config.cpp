#include "config/server_config.h"

#include <cstdlib>
#include <utility>

#include "base/text.h"
#include "config/config_reader.h"
#include "config/group_processor.h"
#include "platform/filesystem.h"
#include "platform/this_process.h"

namespace kestrun {

std::optional<uint32_t> ParseIPv4Address(std::string_view text) {
  text = TrimBlanks(text);
  uint32_t address = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    size_t digits = 0;
    uint32_t value = 0;
    while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9')
      value = value * 10 + static_cast<uint32_t>(text[digits++] - '0');
    if (digits == 0 || digits > 3 || value > 255) return std::nullopt;
    text.remove_prefix(digits);
    address = (address << 8) | value;
  }
  if (!text.empty()) return std::nullopt;
  return address;
}

const JobDefinition* ConfigSnapshot::FindJob(std::string_view name) const {
  const auto it = jobIndex.find(UpperCase(name));
  return it == jobIndex.end() ? nullptr : &jobs[it->second];
}

ServerConfig::ServerConfig(std::string configPath)
    : configPath_(std::move(configPath)), snapshot_(std::make_shared<const ConfigSnapshot>()) {}

std::string ConsoleAddress(const WebSettings& web, const std::string& hostName) {
  if (web.port <= 0) return {};
  if (!web.url.empty()) {
    std::string url = web.url;
    while (url.size() > 1 && url.back() == '/') url.pop_back();
    return url;
  }
  std::string host = web.address;
  // A console bound to every address is reached by the machine's name.
  if (host.empty() || host == "0.0.0.0" || host == "::" || host == "*" || host == "[::]")
    host = hostName;
  else if (host.find(':') != std::string::npos && host.front() != '[')
    host = "[" + host + "]";
  return std::string(web.tls() ? "https" : "http") + "://" + host + ":" + std::to_string(web.port);
}

std::shared_ptr<const ConfigSnapshot> ServerConfig::Snapshot() const {
  std::lock_guard<std::mutex> hold(snapshotLock_);
  return snapshot_;
}

void ServerConfig::Publish(std::shared_ptr<const ConfigSnapshot> snapshot) {
  std::shared_ptr<const ConfigSnapshot> old;
  {
    std::lock_guard<std::mutex> hold(snapshotLock_);
    old = std::exchange(snapshot_, std::move(snapshot));
  }
  // `old` is released here, outside the lock, unless a reader still holds it.
}

void LoadServerConfig(ServerConfig& config) {
  config.processId_ = CurrentProcessId();
  if (ConfigReader(config, false).Read() == ConfigReader::Result::Fatal) std::exit(1);
}

void ReloadServerConfig(ServerConfig& config) {
  std::lock_guard<std::mutex> hold(config.reloadLock_);
  ConfigReader(config, true).Read();
}

bool ConfigFileChanged(const ServerConfig& config) {
  const std::optional<FileStatus> status = GetFileStatus(config.configPath());
  return status && status->modificationTime > config.configTime();
}

std::optional<JobDefinition> FindJobForUser(const ServerConfig& config, std::string_view name,
                                            std::optional<std::string_view> user, bool* denied) {
  if (denied != nullptr) *denied = false;
  const std::shared_ptr<const ConfigSnapshot> snapshot = config.Snapshot();
  const JobDefinition* job = snapshot->FindJob(name);
  if (job == nullptr) return std::nullopt;
  if (job->group && user && !IsUserInGroups(config, *job->group, *user)) {
    if (denied != nullptr) *denied = true;
    return std::nullopt;
  }
  return CopyJobDefinition(*job);
}

}  // namespace kestrun
