// The rule behind a job's `allowifjobrunning` and `denyifjobrunning`
// directives: whether other jobs (or other runs of the same job) are running
// right now. Running a job, building its dialog and the tray menu all ask it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

class RunningJobTable;
struct JobDefinition;

enum class RuleSense { Allow, Deny };

struct RuleOutcome {
  bool result = false;
  std::string decidingJob;  // the item's job name as written; empty when no item decided
};

// Evaluates a directive value such as "{BACKUP,RESTORE:1}" against the table.
// Leading "{" and trailing "}" are dropped and the rest is split at every
// comma (an empty item names a job that never runs; a trailing comma adds no
// item). Each item is JOB or JOB:N; with N not 0 the lock value asked for is
// arguments[N-1] (none when N is beyond them), `arguments` being the job's own
// parameters followed by the client's. An item holds when IsJobRunning(JOB,
// lock value) is true; job names are compared in upper case, as the table
// stores them.
// - Empty directive (none): true for Allow, false for Deny.
// - No item at all ("{}"): false.
// - Allow: the first item that does not hold decides (false); Deny: the first
//   item that holds decides (true). When none decides: true for Allow, false
//   for Deny.
// Takes the table lock once per item; call with no lock held.
RuleOutcome EvaluateJobRunningRule(std::string_view directive, RuleSense sense,
                                   const std::vector<std::string>& arguments,
                                   const RunningJobTable& table);

// Why a job may not start now, from its two directives.
struct JobRunRefusal {
  bool refused = false;
  RuleSense kind = RuleSense::Allow;  // Deny when the deny test held
  std::string decidingJob;
};

// The allow test fails or the deny test holds: refused. The kind is Deny when
// the deny test held, else Allow.
JobRunRefusal CheckJobRunningRules(const JobDefinition& job,
                                   const std::vector<std::string>& arguments,
                                   const RunningJobTable& table);

// The text of a refusal of `job`, which it names as `what` (the job's name,
// or for instance "timed job NAME"): "Cannot run <what> - it is already
// running" (Deny, the deciding job being `job` itself, compared without
// regard to case), "Cannot run <what> - job <deciding> is running" (Deny) or
// "Cannot run <what> - job <deciding> is not running" (Allow).
std::string RefusalText(const JobRunRefusal& refusal, std::string_view job, std::string_view what);

// The refusal text for user@node asking for `job`: "<user>@<node> Cannot run
// <job> - ...".
std::string RefusalMessage(const JobRunRefusal& refusal, std::string_view user,
                           std::string_view node, std::string_view job);

}  // namespace kestrun
