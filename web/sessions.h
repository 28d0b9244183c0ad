// Web console logins: the session table (cookie `kestrun_session`) and the
// failed-login throttle.
//
// Both are shared by the listener's threads and the login workers; each
// guards its own table with its own mutex, held only for the table
// operation (never while a login is checked or a reply is written). The two
// locks are never held together.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace kestrun::web {

using Clock = std::function<std::chrono::steady_clock::time_point()>;

inline constexpr std::chrono::hours kSessionLifetime{12};
inline constexpr std::chrono::hours kSessionIdle{8};
inline constexpr int kFailuresBeforeBlock = 5;
inline constexpr std::chrono::minutes kFailureWindow{1};
inline constexpr std::chrono::minutes kBlockTime{1};

struct Session {
  std::string user;
  std::string node;  // the peer's address text at login
  std::string csrf;  // 256 random bits, hex
  bool admin = false;
  int32_t clientId = 0;  // the "client process id" of this session's dialogs and runs
};

// `count` random bytes from OpenSSL's generator, as lower-case hex; empty
// when the generator fails (callers then refuse the login).
std::string RandomHex(size_t count);

class SessionTable {
 public:
  explicit SessionTable(Clock clock = {});
  // A new session for `session` (its csrf filled in here); returns the
  // token, or nullopt when no random bytes could be had.
  std::optional<std::string> Create(Session& session);
  // The live session of `token`, its idle time restarted; nullopt when
  // unknown, older than 12 hours or idle for 8.
  std::optional<Session> Find(const std::string& token);
  void Remove(const std::string& token);

 private:
  struct Entry {
    Session session;
    std::chrono::steady_clock::time_point created, used;
  };
  Clock clock_;
  std::mutex lock_;  // guards sessions_
  std::unordered_map<std::string, Entry> sessions_;
};

// Failed logins per (user, address): after 5 within a minute, further
// attempts are refused (429) until a minute after the fifth.
class LoginThrottle {
 public:
  explicit LoginThrottle(Clock clock = {});
  bool Blocked(const std::string& user, const std::string& address);
  void Failed(const std::string& user, const std::string& address);
  void Succeeded(const std::string& user, const std::string& address);

 private:
  using Key = std::pair<std::string, std::string>;
  Clock clock_;
  std::mutex lock_;  // guards failures_
  std::map<Key, std::deque<std::chrono::steady_clock::time_point>> failures_;
};

}  // namespace kestrun::web
