#include "jobs/run_recording.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "base/environment.h"
#include "platform/filesystem.h"

namespace kestrun {

namespace {

constexpr const char* kMasked = "***";

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::vector<int32_t> PasswordFields(const std::string& definition) {
  // The rows of a definition number their fields in the order their "[" or
  // "{" appear; tab lines (">") and frame lines ("-") hold none.
  std::vector<int32_t> passwords;
  int32_t field = 0;
  size_t begin = 0;
  while (begin <= definition.size()) {
    size_t end = definition.find('\n', begin);
    if (end == std::string::npos) end = definition.size();
    const std::string_view line(definition.data() + begin, end - begin);
    begin = end + 1;
    if (!line.empty() && (line[0] == '>' || line[0] == '-')) continue;
    bool inField = false, password = false;
    for (const char c : line) {
      if (inField) {
        if (c == ']' || c == '}') {
          if (password) passwords.push_back(field);
          inField = password = false;
        } else if (c == '*') {
          password = true;
        }
      } else if (c == '[' || c == '{') {
        ++field;
        inField = true;
      }
    }
    if (inField && password) passwords.push_back(field);
  }
  return passwords;
}

std::vector<std::string> RecordedFields(const JobDefinition* job,
                                        const std::vector<std::string>& environment) {
  constexpr std::string_view kPrefix = "KESFIELD";
  std::map<int32_t, std::string> values;
  for (const std::string& entry : environment) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos || !entry.starts_with(kPrefix)) continue;
    const std::string_view number(entry.data() + kPrefix.size(), equals - kPrefix.size());
    if (!AllDigits(number) || number.size() > 4) continue;
    values[std::stoi(std::string(number))] = entry.substr(equals + 1);
  }
  if (values.empty()) return {};
  // Unknown field types are masked: a password must never reach the file.
  std::optional<std::string> definition;
  if (job && !job->dialog.empty()) definition = ReadPlainFile(job->dialog);
  const std::vector<int32_t> passwords =
      definition ? PasswordFields(*definition) : std::vector<int32_t>{};
  std::vector<std::string> fields;
  for (const auto& [number, value] : values) {
    const bool masked =
        !definition || std::find(passwords.begin(), passwords.end(), number) != passwords.end();
    fields.push_back(std::to_string(number) + "=" + (masked ? kMasked : value));
  }
  return fields;
}

std::vector<std::string> RecordedListBox(const EnvironmentBlock& environment) {
  std::optional<std::string> set = environment.Get("KESLISTBOXVARIABLES");
  if (!set || set->empty()) return {};
  std::vector<std::string> bases;
  for (size_t begin = 0; begin < set->size();) {
    size_t end = set->find(' ', begin);
    if (end == std::string::npos) end = set->size();
    if (end > begin) bases.push_back(set->substr(begin, end - begin));
    begin = end + 1;
  }
  std::vector<std::string> selection;
  for (const std::string& entry : environment.entries()) {
    const std::string_view name(entry.data(), std::min(entry.size(), entry.find('=')));
    for (const std::string& base : bases) {
      if (name == base ||
          (name.starts_with(base) && name.size() > base.size() && name[base.size()] == '_')) {
        selection.push_back(entry);
        break;
      }
    }
  }
  return selection;
}

std::string AddressText(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                (address >> 8) & 0xFF, address & 0xFF);
  return text;
}

RunRecording::RunRecording(history::RunHistory* history, const history::RunStart& start,
                           uint32_t stopId)
    : history_(history), user_(start.user), node_(start.node), stopId_(stopId) {
  if (history_) run_ = history_->Begin(start, stopId);
}

RunRecording::~RunRecording() {
  if (run_) run_->End({history::kConnectionLost, 0, 0, {}, {}});
}

int64_t RunRecording::id() const {
  return run_ ? run_->id() : 0;
}

void RunRecording::Output(StreamCode stream, const char* data, size_t size) {
  run_->Output(stream == kStderrStream ? history::kStderr : history::kStdout, data, size);
}

void RunRecording::Finish(const RunOutcome& outcome, const std::string& launchError) {
  if (!run_) return;
  history::RunEnd end;
  end.processId = outcome.processId;
  end.exitCode = outcome.exitStatus;
  if (outcome.result != 0 && outcome.result != kStreamFailure) {
    end.outcome = history::kLaunchFailed;
    end.message = launchError;
  } else if (outcome.killed) {
    bool stopped = false;
    end.endedBy = history_->TakeEndedBy(outcome.processId, stopId_, &stopped);
    end.outcome = stopped ? history::kStopped : history::kKilled;
    if (stopped) end.endedBy = history::EndedByStop(user_, node_);
  } else if (outcome.result == kStreamFailure) {
    end.outcome = history::kConnectionLost;
  }
  Finish(end);
}

void RunRecording::Finish(const history::RunEnd& end) {
  if (!run_) return;
  run_->End(end);
  run_.reset();
}

void RecordRefusedRun(history::RunHistory* history, const history::RunStart& start,
                      const char* outcome, const std::string& message) {
  if (!history) return;
  history::RunEnd end;
  end.outcome = outcome;
  end.message = message;
  history->Record(start, end);
}

messages::RunSummary SummaryOf(const history::RunRecord& r) {
  messages::RunSummary s;
  s.id = r.id;
  s.job = r.start.job;
  s.user = r.start.user;
  s.node = r.start.node;
  s.address = r.start.address;
  s.origin = r.start.origin;
  s.arguments = r.start.arguments;
  s.fields = r.start.fields;
  s.listBox = r.start.listBox;
  s.started = r.start.started;
  s.ended = r.ended;
  s.pid = static_cast<int32_t>(r.processId);
  s.exitCode = r.exitCode;
  s.outcome = r.outcome;
  s.endedBy = r.endedBy;
  s.outputBytes = r.outputBytes;
  s.message = r.message;
  return s;
}

}  // namespace kestrun
