// The web console's job lists, kept per user for a short time so that the
// listener's threads can answer GET /api/jobs without a worker: the group
// check behind a list may call the group processor, which may block, while
// a kept list is only read.
//
// A kept list holds the jobs the user may see, each as its JSON object
// without the "running" member (which is read afresh at every request). It
// serves only while the configuration snapshot it was made from is the
// current one (a reload of kestrun.conf is seen at once) and for at most
// `lifetime` after it was begun (a changed group membership is seen within
// that time).
//
// A list past half its lifetime is made again ahead (once per user at a
// time, on a worker): while users keep asking, their lists are renewed
// before they run out, and requests do not all miss at the same moment.
//
// Threads. Any thread may call. lock_ guards lists_ and renewing_ and is
// held only for the map operations; a kept list is immutable and shared, so
// it is read without the lock.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "config/server_config.h"

namespace kestrun::web {

inline constexpr std::chrono::milliseconds kJobListLifetime{1000};

// One user's visible jobs, as made from one snapshot.
struct KeptJobList {
  struct Job {
    std::string head;  // the job's JSON object up to the value of "running"
    std::string name;  // to ask whether it runs
  };
  std::shared_ptr<const ConfigSnapshot> snapshot;
  std::chrono::steady_clock::time_point begun;  // before its group checks were made
  std::vector<Job> jobs;
};

class JobListCache {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  explicit JobListCache(Clock clock = {}, std::chrono::milliseconds lifetime = kJobListLifetime);

  // The time now, by the cache's clock (a list begun now is `begun`).
  std::chrono::steady_clock::time_point Now() const { return clock_(); }
  // The list kept for `user` when it was made from `current` and is younger
  // than the lifetime; null otherwise. `*renew` is set when the caller
  // should have the user's list made again now (it is past half its
  // lifetime and no renewal is under way); the renewal ends with Keep, or
  // with Unclaim when it could not be started.
  std::shared_ptr<const KeptJobList> Find(const std::string& user,
                                          const std::shared_ptr<const ConfigSnapshot>& current,
                                          bool* renew);
  // Keeps `list` for `user`, in place of the one kept before, and ends a
  // renewal of it. Lists past their lifetime are dropped meanwhile, so the
  // map holds only the users who asked within the lifetime.
  void Keep(const std::string& user, std::shared_ptr<const KeptJobList> list);
  // A renewal Find asked for was not started.
  void Unclaim(const std::string& user);

 private:
  bool Fresh(const KeptJobList& list, std::chrono::steady_clock::time_point now) const {
    return now - list.begun < lifetime_;
  }

  Clock clock_;
  const std::chrono::milliseconds lifetime_;
  std::mutex lock_;  // guards lists_ and renewing_
  std::unordered_map<std::string, std::shared_ptr<const KeptJobList>> lists_;
  std::unordered_set<std::string> renewing_;  // users whose list is being made again
};

}  // namespace kestrun::web
