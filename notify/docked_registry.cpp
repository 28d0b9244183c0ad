#include "notify/docked_registry.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <utility>

#include "base/safe_format.h"
#include "base/text.h"

namespace kestrun {

std::string FormatIPv4(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
                (address >> 8) & 0xFF, address & 0xFF);
  return text;
}

DockedRegistry::DockedRegistry(Clock clock, Logger log)
    : clock_(std::move(clock)), log_(std::move(log)), refusals_(clock_) {}

void DockedRegistry::LogRefusal(uint32_t address, const std::string& line) {
  if (log_ && refusals_.ShouldLog(address)) log_(line);
}

bool DockedRegistry::IsStale(const DockedClient& c, std::time_t now) const {
  return now - c.lastSeen > kStaleAfterSeconds;
}

bool IsDockableName(std::string_view name) {
  if (name.size() > kMaxDockedNameLength) return false;
  for (const char c : name) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return false;
  }
  return true;
}

bool DockedRegistry::DockOrRefresh(std::string_view host, uint32_t address, int32_t port,
                                   std::string_view user) {
  const auto who = [&] {
    return EscapeControlCharacters(user, 64) + "@" + EscapeControlCharacters(host, 64);
  };
  if (!IsDockableName(host) || !IsDockableName(user)) {
    LogRefusal(address, "Refused to dock " + who() + " - name longer than " +
                            std::to_string(kMaxDockedNameLength) +
                            " bytes or holding control characters");
    return false;
  }
  const std::time_t now = clock_();
  size_t fromAddress = 0;
  size_t live = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // Walk in order: stale entries before the match are dropped, the ones
    // after it are left for a later walk. Without a match the whole list has
    // been walked, so the counts below are of live entries only.
    for (auto it = clients_.begin(); it != clients_.end();) {
      if (IsStale(*it, now)) {
        it = clients_.erase(it);
        continue;
      }
      if (it->hostName == host && it->userName == user) {
        it->lastSeen = now;
        it->udpPort = port;
        return false;
      }
      if (it->address == address) ++fromAddress;
      ++it;
    }
    live = clients_.size();
    if (live < kMaxDockedClients && fromAddress < kMaxDockedPerAddress)
      clients_.push_back({address, std::string(host), port, now, std::string(user)});
  }
  if (live >= kMaxDockedClients) {
    LogRefusal(address, "Refused to dock " + who() + " (IP Address " + FormatIPv4(address) +
                            ") - docked client list full (" + std::to_string(kMaxDockedClients) +
                            " clients)");
    return false;
  }
  if (fromAddress >= kMaxDockedPerAddress) {
    LogRefusal(address, "Refused to dock " + who() + " - " + std::to_string(kMaxDockedPerAddress) +
                            " clients already docked from IP Address " + FormatIPv4(address));
    return false;
  }
  if (log_) {
    log_("Added " + std::string(user) + "@" + std::string(host) +
         " to docked client list (IP Address " + FormatIPv4(address) + " Port " +
         std::to_string(port) + ")");
  }
  return true;
}

void DockedRegistry::RemoveDocked(std::string_view host, std::string_view user) {
  const std::time_t now = clock_();
  std::lock_guard<std::mutex> guard(lock_);
  std::erase_if(clients_, [&](const DockedClient& c) {
    return IsStale(c, now) || (c.hostName == host && c.userName == user);
  });
}

std::vector<std::string> DockedRegistry::HostsForUser(std::string_view user) {
  const std::time_t now = clock_();
  std::vector<std::string> hosts;
  std::lock_guard<std::mutex> guard(lock_);
  std::erase_if(clients_, [&](const DockedClient& c) { return IsStale(c, now); });
  for (const DockedClient& c : clients_) {
    if (EqualsNoCase(c.userName, user)) hosts.push_back(c.hostName);
  }
  return hosts;
}

std::optional<DockedAddress> DockedRegistry::FindDocked(std::string_view host,
                                                        std::string_view user) {
  const std::time_t now = clock_();
  std::lock_guard<std::mutex> guard(lock_);
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (IsStale(*it, now)) {
      it = clients_.erase(it);
      continue;
    }
    if (EqualsNoCase(it->userName, user) && EqualsNoCase(it->hostName, host)) {
      return DockedAddress{it->address, it->udpPort};
    }
    ++it;
  }
  return std::nullopt;
}

void DockedRegistry::ExpireDocked() {
  const std::time_t now = clock_();
  std::lock_guard<std::mutex> guard(lock_);
  std::erase_if(clients_, [&](const DockedClient& c) { return IsStale(c, now); });
}

std::vector<DockedClient> DockedRegistry::ListDocked() const {
  std::lock_guard<std::mutex> guard(lock_);
  return clients_;
}

// The batch lookups index the live entries by upper-cased names once, so a
// notification to a thousand users costs one walk rather than a thousand.
std::vector<std::vector<std::string>> DockedRegistry::HostsForUsers(
    const std::vector<std::string>& users) {
  const std::time_t now = clock_();
  std::unordered_map<std::string, std::vector<std::string>> byUser;
  {
    std::lock_guard<std::mutex> guard(lock_);
    std::erase_if(clients_, [&](const DockedClient& c) { return IsStale(c, now); });
    for (const DockedClient& c : clients_) byUser[UpperCase(c.userName)].push_back(c.hostName);
  }
  std::vector<std::vector<std::string>> hosts;
  hosts.reserve(users.size());
  for (const std::string& user : users) {
    const auto it = byUser.find(UpperCase(user));
    hosts.push_back(it == byUser.end() ? std::vector<std::string>{} : it->second);
  }
  return hosts;
}

std::vector<std::optional<DockedAddress>> DockedRegistry::FindDockedMany(
    const std::vector<std::pair<std::string, std::string>>& pairs) {
  const auto key = [](std::string_view host, std::string_view user) {
    return UpperCase(host) + '\0' + UpperCase(user);
  };
  const std::time_t now = clock_();
  std::unordered_map<std::string, DockedAddress> first;
  {
    std::lock_guard<std::mutex> guard(lock_);
    std::erase_if(clients_, [&](const DockedClient& c) { return IsStale(c, now); });
    for (const DockedClient& c : clients_)
      first.try_emplace(key(c.hostName, c.userName), DockedAddress{c.address, c.udpPort});
  }
  std::vector<std::optional<DockedAddress>> found;
  found.reserve(pairs.size());
  for (const auto& [host, user] : pairs) {
    const auto it = first.find(key(host, user));
    found.push_back(it == first.end() ? std::nullopt : std::optional<DockedAddress>(it->second));
  }
  return found;
}

}  // namespace kestrun
