// Reloads in a loop while other threads look jobs up, walk the job list and
// log: run under ThreadSanitizer (label tsan) as well as in the plain build.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/log.h"
#include "config/server_config.h"
#include "tests/config/conf_fixture.h"

namespace kestrun {
namespace {

// A file whose every job carries `generation` in its title and help text.
std::string Generation(int generation, int jobs) {
  std::string text = "RelayServer = relay" + std::to_string(generation) + "\n\n";
  for (int k = 0; k < jobs; ++k) {
    text += "Job" + std::to_string(k) + ":\nTitle = " + std::to_string(generation) +
            "\nHelpText = " + std::to_string(generation) + "\nParams = {a,b,c}\n" +
            "AutoRun = yes\nAutoRunTimes = 01:00\n\n";
  }
  return text;
}

TEST(ReloadRace, ReadersAlwaysSeeOneCompleteJobList) {
  constexpr int kJobs = 40;
  constexpr int kReloads = 100;
  testconf::TempHome home;
  home.WriteConf("LogFile = " + home.File("k.log") + "\n" + Generation(0, kJobs));
  ServerConfig config(home.ConfPath());
  testconf::LoadCapturing(config);

  std::atomic<bool> done{false};
  std::atomic<long> lookups{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      do {
        std::optional<JobDefinition> job =
            FindJobForUser(config, "job" + std::to_string(t * 7 % kJobs), "user");
        ASSERT_TRUE(job);
        EXPECT_EQ(job->title, job->helpText);
        EXPECT_EQ(job->paramCount(), 3);
        // One snapshot: every job, the schedule and the globals agree.
        const std::shared_ptr<const ConfigSnapshot> s = config.Snapshot();
        ASSERT_EQ(s->jobs.size(), static_cast<size_t>(kJobs));
        ASSERT_EQ(s->schedule.size(), static_cast<size_t>(kJobs));
        for (const JobDefinition& j : s->jobs) EXPECT_EQ(j.title, s->jobs[0].title);
        EXPECT_EQ(s->relayServer, "relay" + s->jobs[0].title);
        EXPECT_EQ(s->jobs[s->schedule.back().job].name, "JOB" + std::to_string(kJobs - 1));
        LogMessage(config, "reader %d saw generation %s", t, s->jobs[0].title.c_str());
        ++lookups;
      } while (!done.load());
    });
  }
  for (int generation = 1; generation <= kReloads; ++generation) {
    home.WriteConf("LogFile = " + home.File("k.log") + "\n" + Generation(generation, kJobs));
    testing::internal::CaptureStdout();
    ReloadServerConfig(config);
    testing::internal::GetCapturedStdout();
  }
  done = true;
  for (std::thread& r : readers) r.join();
  EXPECT_GT(lookups.load(), 0);
  EXPECT_EQ(config.Jobs()[0].title, std::to_string(kReloads));
}

}  // namespace
}  // namespace kestrun
