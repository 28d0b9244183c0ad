// Windows: a run's processes are the members of its job object (see
// process_win32.cpp), so a kill is one TerminateJobObject, which reaches
// every process the run started, also those whose parent has ended. A
// process not started by LaunchProcess is killed with its descendants from
// a Toolhelp snapshot instead.
//
// Run markers still name each run in its environment, but they are not
// needed to find a run's processes here, and another process's environment
// cannot be read without debugging rights: FindOrphanedRuns finds nothing
// and KillMarkedProcesses has nothing to do beyond the job's kill.
#define _CRT_RAND_S  // rand_s, before the C runtime headers
#include <stdlib.h>

#include <windows.h>

#include <tlhelp32.h>

#include <cstdint>

#include "platform/home_directory.h"
#include "platform/process_tree.h"
#include "platform/run_jobs_win32.h"
#include "platform/wide_win32.h"

namespace kestrun {

std::vector<ProcessEntry> TakeProcessSnapshot() {
  std::vector<ProcessEntry> entries;
  UniqueFd snapshot(FromHandle(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)));
  if (!snapshot) return entries;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(AsHandle(snapshot.get()), &entry); more;
       more = ::Process32NextW(AsHandle(snapshot.get()), &entry)) {
    entries.push_back({static_cast<ProcessId>(entry.th32ProcessID),
                       static_cast<ProcessId>(entry.th32ParentProcessID)});
  }
  return entries;
}

ProcessId ParentProcessOf(ProcessId pid) {
  for (const ProcessEntry& entry : TakeProcessSnapshot()) {
    if (entry.pid == pid) return entry.parentPid;
  }
  return 0;
}

namespace {

bool TerminateById(ProcessId pid) {
  UniqueFd process(FromHandle(::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid))));
  return process && ::TerminateProcess(AsHandle(process.get()), 1);
}

}  // namespace

bool KillProcessTree(ProcessId pid) {
  {
    RunJobs& runs = TheRunJobs();
    std::lock_guard guard(runs.lock);
    const auto it = runs.jobs.find(pid);
    if (it != runs.jobs.end()) return ::TerminateJobObject(it->second, 1) != 0;
  }
  // Not a run of this server: its descendants as one snapshot shows them.
  const std::vector<ProcessEntry> snapshot = TakeProcessSnapshot();
  if (snapshot.empty()) return false;
  for (const ProcessId child : KillOrder(snapshot, pid)) TerminateById(child);
  return TerminateById(pid);
}

namespace {

std::string RandomHex32() {
  // The C runtime's rand_s draws from the system's random source
  // (RtlGenRandom).
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (int i = 0; i < 4; ++i) {
    unsigned int word = 0;
    rand_s(&word);
    for (int k = 0; k < 8; ++k) hex += kHex[(word >> (4 * k)) & 15];
  }
  return hex;
}

}  // namespace

std::optional<uint64_t> ProcessStartTime(ProcessId pid) {
  UniqueFd process(
      FromHandle(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid))));
  if (!process) return std::nullopt;
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(AsHandle(process.get()), &created, &exited, &kernel, &user))
    return std::nullopt;
  DWORD code = 0;
  if (::GetExitCodeProcess(AsHandle(process.get()), &code) && code != STILL_ACTIVE)
    return std::nullopt;
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

std::string NewRunMarkerFor(const RunMarkerOrigin& origin) {
  return RandomHex32() + "." + origin.homeTag + "." + std::to_string(origin.serverPid) + "." +
         std::to_string(origin.serverStart);
}

std::string NewRunMarker() {
  // The server's part never changes while the process lives: taken once.
  static const RunMarkerOrigin self{
      HomeTag(HomeDirectory()), static_cast<ProcessId>(::GetCurrentProcessId()),
      ProcessStartTime(static_cast<ProcessId>(::GetCurrentProcessId())).value_or(0)};
  return NewRunMarkerFor(self);
}

std::vector<OrphanedProcess> FindOrphanedRuns(std::string_view) {
  return {};
}

std::vector<ProcessId> EndOrphanedRuns(const std::vector<OrphanedProcess>& processes,
                                       std::chrono::milliseconds) {
  // Windows console programs have no polite stop request: they are ended.
  std::vector<ProcessId> killed;
  for (const OrphanedProcess& p : processes) {
    if (TerminateById(p.pid)) killed.push_back(p.pid);
  }
  return killed;
}

int KillMarkedProcesses(const std::string&) {
  return 0;
}

}  // namespace kestrun
