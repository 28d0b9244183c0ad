#include "jobs/job_running_rule.h"

#include <cstdlib>
#include <optional>

#include "base/text.h"
#include "config/job_definition.h"
#include "launch/running_jobs.h"

namespace kestrun {

namespace {

std::vector<std::string_view> RuleItems(std::string_view value) {
  while (!value.empty() && value.front() == '{') value.remove_prefix(1);
  while (!value.empty() && value.back() == '}') value.remove_suffix(1);
  std::vector<std::string_view> items;
  if (value.empty()) return items;
  size_t start = 0;
  for (;;) {
    const size_t comma = value.find(',', start);
    if (comma == std::string_view::npos) {
      // What follows the last comma is an item only when there is something.
      if (start < value.size() || items.empty()) items.push_back(value.substr(start));
      return items;
    }
    items.push_back(value.substr(start, comma - start));
    start = comma + 1;
  }
}

struct RuleItem {
  std::string_view job;
  std::optional<std::string> lockValue;
};

RuleItem ParseItem(std::string_view item, const std::vector<std::string>& arguments) {
  RuleItem parsed{item, std::nullopt};
  const size_t colon = item.find(':');
  if (colon == std::string_view::npos) return parsed;
  parsed.job = item.substr(0, colon);
  // N is read like atoi: leading digits, anything else ends it (and no digits
  // at all mean 0, no lock value).
  const std::string digits(item.substr(colon + 1));
  const long n = std::strtol(digits.c_str(), nullptr, 10);
  if (n > 0 && static_cast<size_t>(n) <= arguments.size()) parsed.lockValue = arguments[n - 1];
  return parsed;
}

}  // namespace

RuleOutcome EvaluateJobRunningRule(std::string_view directive, RuleSense sense,
                                   const std::vector<std::string>& arguments,
                                   const RunningJobTable& table) {
  const bool allow = sense == RuleSense::Allow;
  if (directive.empty()) return {allow, ""};
  const std::vector<std::string_view> items = RuleItems(directive);
  if (items.empty()) return {false, ""};
  for (std::string_view text : items) {
    const RuleItem item = ParseItem(text, arguments);
    // The table holds configured names, which are upper case; the directive
    // may spell them in any case, like every other job name lookup.
    const bool holds = table.IsJobRunning(UpperCase(item.job), item.lockValue);
    if (allow && !holds) return {false, std::string(item.job)};
    if (!allow && holds) return {true, std::string(item.job)};
  }
  return {allow, ""};
}

JobRunRefusal CheckJobRunningRules(const JobDefinition& job,
                                   const std::vector<std::string>& arguments,
                                   const RunningJobTable& table) {
  const RuleOutcome deny =
      EvaluateJobRunningRule(job.denyIfJobRunning, RuleSense::Deny, arguments, table);
  if (deny.result) return {true, RuleSense::Deny, deny.decidingJob};
  const RuleOutcome allow =
      EvaluateJobRunningRule(job.allowIfJobRunning, RuleSense::Allow, arguments, table);
  if (!allow.result) return {true, RuleSense::Allow, allow.decidingJob};
  return {};
}

std::string RefusalText(const JobRunRefusal& refusal, std::string_view job, std::string_view what) {
  std::string text = "Cannot run " + std::string(what) + " - ";
  if (refusal.kind == RuleSense::Deny && EqualsNoCase(refusal.decidingJob, job))
    return text + "it is already running";
  return text + "job " + refusal.decidingJob +
         (refusal.kind == RuleSense::Deny ? " is running" : " is not running");
}

std::string RefusalMessage(const JobRunRefusal& refusal, std::string_view user,
                           std::string_view node, std::string_view job) {
  return std::string(user) + "@" + std::string(node) + " " + RefusalText(refusal, job, job);
}

}  // namespace kestrun
