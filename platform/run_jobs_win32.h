// Internal to platform/: the job object of each started run, by process id.
// Every program LaunchProcess starts is put in a job object of its own
// before it runs a single instruction (it is created suspended), and the
// processes it starts join that job: killing the job (TerminateJobObject)
// ends the whole tree, however its processes were started. The list lets
// KillProcessTree find a run's job from the id the running-job table holds.
#pragma once

#include <windows.h>

#include <mutex>
#include <unordered_map>

#include "platform/process.h"

namespace kestrun {

struct RunJobs {
  std::mutex lock;  // guards jobs; held while a listed job handle is used
  // The job handles belong to their Process owners, which leave the list
  // before they close them.
  std::unordered_map<ProcessId, HANDLE> jobs;
};

// The one list of this process.
RunJobs& TheRunJobs();

}  // namespace kestrun
