// The reader of kestrun.conf (internal to the config module): two passes over
// the file's lines, the first collecting field names, the second applying
// every directive to a new ConfigSnapshot, which is then published.
//
// One ConfigReader serves one read, on the thread that loads or reloads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config/server_config.h"

namespace kestrun {

// One directive line, its key and value with their blanks cut.
struct Directive {
  std::string_view key;  // as written
  std::string lowerKey;
  std::string_view raw;  // the value before expansion
  std::string value;     // the value expanded against the process environment
};

// The schedule values of the open stanza; reset at every stanza header.
struct StanzaSchedule {
  bool autorun = false;
  uint32_t days = 0;
  uint32_t months = 0;
  uint32_t dates = 0;
  int32_t interval = 0;
  std::optional<std::string> times;
  int timesLine = 0;  // the line of `autoruntimes`
};

// One problem of a read: its line (0 for the file as a whole) and reason.
struct ConfigProblem {
  int line = 0;
  std::string reason;
  bool operator==(const ConfigProblem&) const = default;
};

// The lines of a file as the reader sees them: a CR LF end reads as LF, and
// every read takes at most 1023 bytes, so a longer line is split and its rest
// is the next line. A line is cut at a NUL byte.
std::vector<std::string_view> SplitConfigLines(std::string& text);

class ConfigReader {
 public:
  enum class Result {
    Published,    // the new snapshot is live
    KeptCurrent,  // reload of a file that cannot be opened: nothing changed
    Fatal,        // first read: the process must end with status 1
  };

  // Messages for the console go to `out` (unknown directives) and `err`
  // (warnings and errors). A `check` read only collects the problems: it
  // prints and logs nothing, reads past a syntax error, takes no log file
  // and never ends the process over a group processor.
  ConfigReader(ServerConfig& config, bool reload, std::FILE* out = stdout, std::FILE* err = stderr,
               bool check = false);
  Result Read();
  // Every problem of the read, in the order met. Outside a check read the
  // problems that have a log line of their own (an unknown directive, a
  // syntax error, a schedule without times, a group processor that does
  // not load) are also logged as "PATH:LINE: REASON" right after it.
  const std::vector<ConfigProblem>& problems() const { return problems_; }

  // --- for the directive handlers ---
  const ServerConfig& config() const { return config_; }
  ConfigSnapshot& snapshot() { return *next_; }
  JobDefinition& job() { return next_->jobs.back(); }
  StanzaSchedule& schedule() { return schedule_; }
  int line() const { return line_; }
  // On the first read `toStderr` goes to standard error; `toLog` is logged on
  // every read.
  // Also recorded as a problem of this line, with `toLog` as its reason.
  void Warning(const std::string& toStderr, const std::string& toLog);
  // Records a problem and, outside a check read when `log` is set, logs it
  // (as the line after the log's own line for it).
  void Problem(int line, const std::string& reason, bool log = false);

 private:
  void ReadFieldNames(const std::vector<std::string_view>& lines);
  bool ReadDirectives(const std::vector<std::string_view>& lines);
  void StartStanza(std::string_view header);
  void AddPendingSchedule();
  void ApplyGlobalDirective(const Directive& d);
  // `relayclients = {ADDRESS,...}`: adds each IPv4 address; warns of others.
  void AddRelayClients(std::string_view value);
  // The `web...` settings; false for a directive that is none of them.
  bool ApplyWebDirective(const Directive& d);
  std::vector<uint32_t> ParseAddressList(std::string_view value, const char* directive);
  void UnknownDirective(std::string_view key);
  void FinishJobs();
  // A job's program and dialog file must exist, the program runnable.
  void CheckJobFiles(size_t job);
  void CheckScheduleTimes();
  // The field-name block with exactly this header, appended when missing.
  FieldNameBlock& BlockFor(std::string_view header);

  ServerConfig& config_;
  const bool reload_;
  const bool check_;
  std::vector<ConfigProblem> problems_;
  std::vector<int> jobLines_;  // the header line of each job of next_
  std::FILE* const out_;
  std::FILE* const err_;
  std::shared_ptr<ConfigSnapshot> next_;
  int line_ = 0;
  bool inStanza_ = false;
  // The open stanza's header is no acceptable job name: its directives are
  // dropped and no job is made of it.
  bool skippingStanza_ = false;
  StanzaSchedule schedule_;
  bool sawGroupProcessor_ = false;
  // Indexes of next_->fieldNameBlocks: by header as written, and the first
  // block of each upper-cased header (the job whose name it is).
  std::unordered_map<std::string, size_t> blockByHeader_;
  std::unordered_map<std::string, size_t> blockByJobName_;
};

// Applies a directive inside a stanza to reader.job(); false when no table
// accepts the key inside a stanza (an unknown directive).
bool ApplyStanzaDirective(ConfigReader& reader, const Directive& d);

// The directive names a stanza accepts, in lower case (keys recognised by
// their beginning by that beginning), for suggestions.
std::vector<std::string_view> StanzaDirectiveNames();

// The known name nearest to `key` (without regard to case), or empty when
// none is near enough to be what was meant.
std::string_view NearestName(std::string_view key, const std::vector<std::string_view>& names);

// The reason when the braces of `text` do not balance, else empty.
std::string BraceProblem(std::string_view text);

// Reads the file at `path` as the server would and returns every problem,
// in the order met; a file that cannot be read is one problem of line 0.
std::vector<ConfigProblem> CheckServerConfig(const std::string& path);

}  // namespace kestrun
