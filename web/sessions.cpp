#include "web/sessions.h"

#include <openssl/rand.h>

#include <vector>

namespace kestrun::web {

namespace {

Clock OrSteady(Clock clock) {
  if (clock) return clock;
  return [] { return std::chrono::steady_clock::now(); };
}

}  // namespace

std::string RandomHex(size_t count) {
  std::vector<unsigned char> bytes(count);
  if (RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(count * 2);
  for (const unsigned char b : bytes) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 15]);
  }
  return hex;
}

SessionTable::SessionTable(Clock clock) : clock_(OrSteady(std::move(clock))) {}

std::optional<std::string> SessionTable::Create(Session& session) {
  std::string token = RandomHex(32);
  session.csrf = RandomHex(32);
  const std::string id = RandomHex(4);
  if (token.empty() || session.csrf.empty() || id.empty()) return std::nullopt;
  session.clientId = static_cast<int32_t>(std::stoul(id, nullptr, 16) & 0x7FFFFFFF);
  const auto now = clock_();
  std::lock_guard<std::mutex> hold(lock_);
  // Ended sessions are dropped as new ones come, so the table holds only
  // what may still be used.
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (now - it->second.created >= kSessionLifetime || now - it->second.used >= kSessionIdle)
      it = sessions_.erase(it);
    else
      ++it;
  }
  sessions_[token] = Entry{session, now, now};
  return token;
}

std::optional<Session> SessionTable::Find(const std::string& token) {
  const auto now = clock_();
  std::lock_guard<std::mutex> hold(lock_);
  const auto it = sessions_.find(token);
  if (it == sessions_.end()) return std::nullopt;
  if (now - it->second.created >= kSessionLifetime || now - it->second.used >= kSessionIdle) {
    sessions_.erase(it);
    return std::nullopt;
  }
  it->second.used = now;
  return it->second.session;
}

void SessionTable::Remove(const std::string& token) {
  std::lock_guard<std::mutex> hold(lock_);
  sessions_.erase(token);
}

LoginThrottle::LoginThrottle(Clock clock) : clock_(OrSteady(std::move(clock))) {}

bool LoginThrottle::Blocked(const std::string& user, const std::string& address) {
  const auto now = clock_();
  std::lock_guard<std::mutex> hold(lock_);
  const auto it = failures_.find({user, address});
  if (it == failures_.end()) return false;
  auto& times = it->second;
  // The block lasts a minute from the failure that reached the count.
  while (!times.empty() && now - times.front() >= kFailureWindow + kBlockTime) times.pop_front();
  if (times.empty()) {
    failures_.erase(it);
    return false;
  }
  if (times.size() < static_cast<size_t>(kFailuresBeforeBlock)) return false;
  const auto fifth = times[kFailuresBeforeBlock - 1];
  const auto first = times[0];
  return fifth - first < kFailureWindow && now - fifth < kBlockTime;
}

void LoginThrottle::Failed(const std::string& user, const std::string& address) {
  const auto now = clock_();
  std::lock_guard<std::mutex> hold(lock_);
  auto& times = failures_[{user, address}];
  while (!times.empty() && now - times.front() >= kFailureWindow) times.pop_front();
  times.push_back(now);
}

void LoginThrottle::Succeeded(const std::string& user, const std::string& address) {
  std::lock_guard<std::mutex> hold(lock_);
  failures_.erase({user, address});
}

}  // namespace kestrun::web
