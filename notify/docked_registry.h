// The docked-client registry: the tray clients that announced themselves
// (machine, user, UDP port) and were heard from in the last 180 seconds.
//
// Entries stay in order of first docking. An entry is stale once more than
// 180 whole seconds have passed since it was last seen; every operation that
// walks the list drops the stale entries it passes, except ListDocked, which
// shows the list as it stands.
//
// The list is bounded: at most kMaxDockedClients entries in all and
// kMaxDockedPerAddress from one peer address, so that no peer can grow it
// (and every reply that lists it) without end. A docking past either cap is
// refused; refusals are logged at most once a minute per peer address.
//
// Threads: request threads, job threads and the listener call in at the same
// time. One mutex (lock_) guards the list; every operation takes the clock
// once and then reads or changes the list as one step. Results are copies.
// The mutex is never held while the logger runs or any other lock is taken
// (the refusal log's own lock included).
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "notify/refusal_log.h"

namespace kestrun {

struct DockedClient {
  uint32_t address = 0;  // IPv4, host order, from the connection that docked it
  std::string hostName;
  int32_t udpPort = 0;
  std::time_t lastSeen = 0;
  std::string userName;
};

// Where to send a notification datagram.
struct DockedAddress {
  uint32_t address = 0;
  int32_t udpPort = 0;
};

// Caps of the registry: entries in all, and live entries docked from one
// peer address.
inline constexpr size_t kMaxDockedClients = 10000;
inline constexpr size_t kMaxDockedPerAddress = 64;

// Longest user or host name a client may dock with.
inline constexpr size_t kMaxDockedNameLength = 255;
// True for a name of at most kMaxDockedNameLength bytes without control
// characters: one that fits every reply and log line that lists it.
bool IsDockableName(std::string_view name);

class DockedRegistry {
 public:
  using Clock = std::function<std::time_t()>;
  using Logger = std::function<void(const std::string& line)>;

  static constexpr std::time_t kStaleAfterSeconds = 180;

  // `clock` gives the current time in seconds (tests inject one); `log`
  // receives the line of each new docking, outside the registry's lock.
  explicit DockedRegistry(Clock clock = SystemClock, Logger log = nullptr);

  // Refreshes the live entry with exactly this host and user (new port and
  // time; the address of the first docking stays), or appends a new entry and
  // logs it. Returns true when an entry was appended. A host or user that is
  // not dockable (IsDockableName), or a new entry past kMaxDockedClients or
  // kMaxDockedPerAddress live entries, is not docked; the refusal is logged
  // (at most once a minute per address).
  bool DockOrRefresh(std::string_view host, uint32_t address, int32_t port, std::string_view user);
  // Drops every entry with exactly this host and user, and every stale one.
  void RemoveDocked(std::string_view host, std::string_view user);
  // Host names of the live entries of `user` (any case), in registry order,
  // duplicates kept.
  std::vector<std::string> HostsForUser(std::string_view user);
  // Address and port of the first live entry matching host and user, both
  // compared without regard to case.
  std::optional<DockedAddress> FindDocked(std::string_view host, std::string_view user);
  // Drops every stale entry.
  void ExpireDocked();
  // Every entry in order, stale ones included (listing never expires).
  std::vector<DockedClient> ListDocked() const;

  // HostsForUser for each of `users` in one walk (a group's members):
  // result[k] holds the hosts of users[k].
  std::vector<std::vector<std::string>> HostsForUsers(const std::vector<std::string>& users);
  // FindDocked for each (host, user) pair in one walk: result[k] answers
  // pairs[k].
  std::vector<std::optional<DockedAddress>> FindDockedMany(
      const std::vector<std::pair<std::string, std::string>>& pairs);

  static std::time_t SystemClock() { return std::time(nullptr); }

 private:
  bool IsStale(const DockedClient& c, std::time_t now) const;
  void LogRefusal(uint32_t address, const std::string& line);

  Clock clock_;
  Logger log_;
  RefusalLog refusals_;
  mutable std::mutex lock_;
  std::vector<DockedClient> clients_;  // guarded by lock_
};

// "a.b.c.d" from an IPv4 address in host order (first octet in the top byte).
std::string FormatIPv4(uint32_t address);

}  // namespace kestrun
