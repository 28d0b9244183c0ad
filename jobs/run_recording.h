// A job run's record in the run history (history/run_history.h), as the job
// runners make it: the record's start from the request, the output tapped
// from the run's pumps, and the end from the run's outcome.
//
// A RunRecording belongs to the thread that runs the job; its tap is called
// from that run's pump threads. Without a history every call does nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/environment.h"
#include "config/job_definition.h"
#include "history/run_history.h"
#include "launch/execute.h"
#include "protocol/messages/history.h"

namespace kestrun {

// The numbers of the password fields of a dialog definition text (fields
// written with a "*" between their brackets).
std::vector<int32_t> PasswordFields(const std::string& definition);

// The dialog values of a run's environment as "N=value", in field order;
// values of password fields (and of every field when the job's dialog
// definition cannot be read) as "N=***".
std::vector<std::string> RecordedFields(const JobDefinition* job,
                                        const std::vector<std::string>& environment);
// The list-box selection of a run's environment as NAME=value.
std::vector<std::string> RecordedListBox(const EnvironmentBlock& environment);

// The IPv4 address (host order) as text.
std::string AddressText(uint32_t address);

class RunRecording : public OutputTap {
 public:
  // Commits the start of the run when `history` is not null.
  RunRecording(history::RunHistory* history, const history::RunStart& start, uint32_t stopId);
  RunRecording(const RunRecording&) = delete;
  RunRecording& operator=(const RunRecording&) = delete;
  // A run whose end was never recorded is ended as "connection-lost".
  ~RunRecording() override;

  // The tap to give the run's pumps; null when nothing is recorded.
  OutputTap* tap() { return run_ ? this : nullptr; }
  // The run's id in the history; 0 when it is not recorded.
  int64_t id() const;
  void Output(StreamCode stream, const char* data, size_t size) override;

  // Records the end of a run that Execute ran (result 0 or kStreamFailure)
  // or failed to start (any other result, with its error text).
  void Finish(const RunOutcome& outcome, const std::string& launchError = {});
  void Finish(const history::RunEnd& end);

 private:
  history::RunHistory* history_;
  std::shared_ptr<history::Run> run_;
  std::string user_, node_;
  uint32_t stopId_;
};

// Records a run that never started (refused, denied).
void RecordRefusedRun(history::RunHistory* history, const history::RunStart& start,
                      const char* outcome, const std::string& message);

// A history record as the HISTORY_QUERY reply (and the web console's
// history) carries it: the record without its output.
messages::RunSummary SummaryOf(const history::RunRecord& r);

}  // namespace kestrun
