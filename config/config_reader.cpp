#include "config/config_reader.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "base/environment.h"
#include "base/log.h"
#include "base/safe_format.h"
#include "base/text.h"
#include "config/group_processor.h"
#include "config/schedule.h"
#include "platform/error_text.h"
#include "platform/filesystem.h"
#include "platform/process.h"

namespace kestrun {

namespace {

constexpr size_t kLineRead = 1023;  // bytes taken by one read of a line

enum class LineKind { Skip, Directive, Header, Blank, SyntaxError };

struct ClassifiedLine {
  LineKind kind = LineKind::Skip;
  std::string_view key;     // Directive
  std::string_view value;   // Directive
  std::string_view header;  // Header: the text before the final ":"
};

std::string_view TrimRightBlanksAndLF(std::string_view text) {
  const size_t last = text.find_last_not_of(" \t\n");
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

ClassifiedLine Classify(std::string_view line) {
  ClassifiedLine out;
  if (const size_t hash = line.find('#'); hash != std::string_view::npos) {
    line = line.substr(0, hash);
    // A comment line never ends a stanza, so it is not a blank line either.
    if (line.find_first_not_of(" \t") == std::string_view::npos) return out;
  }
  if (const size_t eq = line.find('='); eq != std::string_view::npos) {
    out.kind = LineKind::Directive;
    out.key = TrimBlanks(line.substr(0, eq));
    std::string_view value = line.substr(eq + 1);
    const size_t first = value.find_first_not_of(" \t");
    value = first == std::string_view::npos ? std::string_view() : value.substr(first);
    out.value = TrimRightBlanksAndLF(value);
    return out;
  }
  const std::string_view trimmed = TrimRightBlanksAndLF(line);
  if (trimmed.empty()) {
    out.kind = LineKind::Blank;
  } else if (trimmed.back() == ':') {
    out.kind = LineKind::Header;
    out.header = trimmed.substr(0, trimmed.size() - 1);
  } else {
    out.kind = LineKind::SyntaxError;
  }
  return out;
}

// A job name becomes a file name (its scheduled runs' log files in log/) and
// is shown in log lines and dialogs, so it may not climb out of a folder or
// carry control characters.
bool IsAcceptableJobName(std::string_view name) {
  if (name.find('/') != std::string_view::npos) return false;
  if (name.find("..") != std::string_view::npos) return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

// The directives of the global part, for suggestions.
const std::vector<std::string_view> kGlobalDirectiveNames = {
    "port",           "clientport",        "server",       "address",
    "relayserver",    "relayport",         "relayclients", "groupprocessor",
    "logfile",        "keeporphans",       "banner",       "bannergraphic",
    "environment",    "webport",           "webaddress",   "webcert",
    "webkey",         "webinsecure",       "webauth",      "webpamservice",
    "webproxyheader", "webproxyaddresses", "webadmins",    "weburl"};

// Edit distance with adjacent transpositions counted as one edit.
size_t Distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

Directive MakeDirective(const ClassifiedLine& line) {
  Directive d;
  d.key = line.key;
  d.lowerKey = LowerCase(line.key);
  d.raw = line.value;
  d.value = ExpandVariables(line.value);
  return d;
}

}  // namespace

std::string_view NearestName(std::string_view key, const std::vector<std::string_view>& names) {
  const std::string lower = LowerCase(key);
  // One edit in a short name, two in a longer one, three in a long one.
  const size_t allowed = lower.size() <= 4 ? 1 : lower.size() <= 9 ? 2 : 3;
  std::string_view best;
  size_t bestDistance = allowed + 1;
  for (const std::string_view name : names) {
    const size_t d = Distance(lower, name);
    if (d < bestDistance) {
      best = name;
      bestDistance = d;
    }
  }
  return best;
}

std::string BraceProblem(std::string_view text) {
  int depth = 0;
  for (const char c : text) {
    if (c == '{') ++depth;
    if (c == '}' && --depth < 0) return "\"}\" without its \"{\"";
  }
  if (depth > 0) return "\"{\" without its \"}\"";
  return "";
}

std::vector<ConfigProblem> CheckServerConfig(const std::string& path) {
  ServerConfig config(path);
  ConfigReader reader(config, false, nullptr, nullptr, true);
  reader.Read();
  std::vector<ConfigProblem> problems = reader.problems();
  std::stable_sort(problems.begin(), problems.end(),
                   [](const ConfigProblem& a, const ConfigProblem& b) { return a.line < b.line; });
  return problems;
}

std::vector<std::string_view> SplitConfigLines(std::string& text) {
  // Text mode: every CR LF pair reads as LF.
  size_t out = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    text[out++] = text[i];
  }
  text.resize(out);

  std::vector<std::string_view> lines;
  const std::string_view all(text);
  size_t pos = 0;
  while (pos < all.size()) {
    const size_t limit = std::min(all.size(), pos + kLineRead);
    const size_t newline = all.substr(pos, limit - pos).find('\n');
    const size_t end = newline == std::string_view::npos ? limit : pos + newline + 1;
    std::string_view line = all.substr(pos, end - pos);
    line = line.substr(0, line.find('\0'));
    lines.push_back(line);
    pos = end;
  }
  return lines;
}

ConfigReader::ConfigReader(ServerConfig& config, bool reload, std::FILE* out, std::FILE* err,
                           bool check)
    : config_(config),
      reload_(reload),
      check_(check),
      out_(out),
      err_(err),
      next_(std::make_shared<ConfigSnapshot>()) {
  if (reload_) {
    // Kept unless the file sets them again; the other globals start empty.
    const std::shared_ptr<const ConfigSnapshot> current = config_.Snapshot();
    next_->relayPort = current->relayPort;
    next_->banner = current->banner;
    next_->groupProcessorPath = current->groupProcessorPath;
  }
}

void ConfigReader::Warning(const std::string& toStderr, const std::string& toLog) {
  problems_.push_back({line_, toLog});
  if (check_) return;
  if (!reload_) {
    std::fputs(toStderr.c_str(), err_);
    std::fflush(err_);
  }
  LogServerText(config_, toLog);
}

void ConfigReader::Problem(int line, const std::string& reason, bool log) {
  problems_.push_back({line, reason});
  if (log && !check_)
    LogMessage(config_, "%s:%d: %s", config_.configPath().c_str(), line, reason.c_str());
}

void ConfigReader::UnknownDirective(std::string_view key) {
  const std::string k(key);
  if (!check_) {
    std::fprintf(out_, "Unknown directive \"%s\" at line %d of kestrun.conf\n", k.c_str(), line_);
    std::fflush(out_);
    LogMessage(config_, "Unknown directive \"%s\" at line %d of kestrun.conf", k.c_str(), line_);
  }
  const std::string_view nearest =
      NearestName(key, inStanza_ ? StanzaDirectiveNames() : kGlobalDirectiveNames);
  std::string reason = "unknown directive \"" + EscapeControlCharacters(k) + "\"";
  if (!nearest.empty()) reason += " (did you mean \"" + std::string(nearest) + "\"?)";
  Problem(line_, reason, true);
}

ConfigReader::Result ConfigReader::Read() {
  const std::string& path = config_.configPath();
  // The time is taken before the read: a change made meanwhile is seen as a
  // later time by the next check, which reads the file again.
  const std::optional<FileStatus> status = GetFileStatus(path);
  int readError = 0;
  std::optional<std::string> content = ReadPlainFile(path, &readError);
  if (!status || !content) {
    if (check_) {
      problems_.push_back({0, "cannot be read: " + SystemErrorText(readError)});
      return Result::Fatal;
    }
    std::fprintf(err_, "Could not find or open config file \"%s\"\n", path.c_str());
    std::fflush(err_);
    if (!reload_) return Result::Fatal;
    LogMessage(config_, "Could not find or open config file \"%s\"", path.c_str());
    return Result::KeptCurrent;
  }
  std::string& text = *content;
  const std::vector<std::string_view> lines = SplitConfigLines(text);

  ReadFieldNames(lines);
  if (!ReadDirectives(lines)) return Result::Fatal;
  AddPendingSchedule();
  FinishJobs();
  if (sawGroupProcessor_ && !check_)
    ReportGroupProcessor(config_, next_->groupProcessorPath, reload_);

  for (size_t k = 0; k < next_->jobs.size(); ++k) {
    CheckJobFiles(k);
    const auto [first, added] = next_->jobIndex.try_emplace(next_->jobs[k].name, k);
    if (!added) {
      Problem(jobLines_[k], StringPrintf("job \"%s\" is defined again; the first one, at line %d, "
                                         "is used",
                                         next_->jobs[k].name.c_str(), jobLines_[first->second]));
    }
  }
  config_.Publish(std::move(next_));
  config_.configTime_.store(status->modificationTime);
  return Result::Published;
}

void ConfigReader::ReadFieldNames(const std::vector<std::string_view>& lines) {
  std::optional<std::string_view> block;  // header of the open block
  int32_t running = 0;
  for (const std::string_view raw : lines) {
    const ClassifiedLine line = Classify(raw);
    if (line.kind == LineKind::Header) {
      block = line.header;
      running = 0;
    } else if (line.kind == LineKind::Blank) {
      block.reset();
    } else if (line.kind == LineKind::Directive && block) {
      if (StartsWithNoCase(line.key, "fieldname")) {
        const std::string value = ExpandVariables(line.value);
        for (const std::string& name : SplitList(RemoveOuterBraces(value)))
          RegisterFieldName(BlockFor(*block), ++running, name);
      } else if (StartsWithNoCase(line.key, "field") && EndsWithNoCase(line.key, "name")) {
        RegisterFieldName(BlockFor(*block), ParseNumber(line.key.substr(5)),
                          ExpandVariables(line.value));
      }
    }
  }
}

bool ConfigReader::ReadDirectives(const std::vector<std::string_view>& lines) {
  for (const std::string_view raw : lines) {
    ++line_;
    const ClassifiedLine line = Classify(raw);
    switch (line.kind) {
      case LineKind::Skip:
        break;
      case LineKind::Header:
        StartStanza(line.header);
        break;
      case LineKind::Blank:
        inStanza_ = false;
        skippingStanza_ = false;
        break;
      case LineKind::SyntaxError: {
        std::string reason =
            "syntax error: expected \"KEY = VALUE\", a job header \"NAME:\", a comment or a "
            "blank line";
        if (const std::string braces = BraceProblem(raw); !braces.empty())
          reason += " (" + braces + ")";
        if (check_) {
          problems_.push_back({line_, reason});
          break;
        }
        const std::string message =
            StringPrintf("Syntax error at line %d in %s\n", line_, config_.configPath().c_str());
        LogServerText(config_, message);
        Problem(line_, reason, true);
        if (!reload_) {
          std::fputs(message.c_str(), err_);
          std::fflush(err_);
          return false;
        }
        break;
      }
      case LineKind::Directive: {
        if (inStanza_ && skippingStanza_) break;  // the stanza of a refused name
        const Directive d = MakeDirective(line);
        if (!line.value.empty() && line.value.front() == '{') {
          if (const std::string braces = BraceProblem(line.value); !braces.empty())
            Problem(line_, "the list value of \"" + std::string(line.key) + "\" has " + braces);
        }
        if (!inStanza_)
          ApplyGlobalDirective(d);
        else if (!ApplyStanzaDirective(*this, d))
          UnknownDirective(d.key);
        break;
      }
    }
  }
  return true;
}

void ConfigReader::StartStanza(std::string_view header) {
  AddPendingSchedule();
  schedule_ = StanzaSchedule{};
  inStanza_ = true;
  skippingStanza_ = !IsAcceptableJobName(header);
  if (skippingStanza_) {
    const std::string name = EscapeControlCharacters(header);
    Warning(StringPrintf("WARNING: invalid job name \"%s\" at line %d of kestrun.conf - job "
                         "left out\n",
                         name.c_str(), line_),
            StringPrintf("Invalid job name \"%s\" at line %d of kestrun.conf - job left out",
                         name.c_str(), line_));
    return;
  }
  JobDefinition& job = next_->jobs.emplace_back();
  jobLines_.push_back(line_);
  job.name = UpperCase(header);
  job.banner = next_->banner;
  if (const auto it = blockByJobName_.find(job.name); it != blockByJobName_.end())
    job.fieldNames = next_->fieldNameBlocks[it->second].names;
}

FieldNameBlock& ConfigReader::BlockFor(std::string_view header) {
  const auto [it, added] =
      blockByHeader_.try_emplace(std::string(header), next_->fieldNameBlocks.size());
  if (added) {
    next_->fieldNameBlocks.push_back(FieldNameBlock{std::string(header), {}});
    blockByJobName_.try_emplace(UpperCase(header), it->second);
  }
  return next_->fieldNameBlocks[it->second];
}

void ConfigReader::AddPendingSchedule() {
  if (!schedule_.autorun || next_->jobs.empty()) return;
  AddScheduleEntry(config_, next_->schedule, next_->jobs.size() - 1, schedule_.days,
                   schedule_.months, schedule_.dates, schedule_.interval, schedule_.times);
  CheckScheduleTimes();
  schedule_ = StanzaSchedule{};
}

void ConfigReader::ApplyGlobalDirective(const Directive& d) {
  ConfigSnapshot& s = *next_;
  const std::string& k = d.lowerKey;
  if (k == "port") {
    if (!reload_) config_.port_ = ParseNumber(d.value);
  } else if (k == "clientport") {
    // Read by the client tools only.
  } else if (k == "server") {
    if (!reload_) config_.server_ = d.value;
  } else if (k == "address") {
    if (!reload_) config_.listenAddress_ = d.value;
  } else if (k == "relayserver") {
    s.relayServer = d.value;
  } else if (k == "relayport") {
    s.relayPort = ParseNumber(d.value);
  } else if (k == "relayclients") {
    AddRelayClients(d.value);
  } else if (k == "groupprocessor") {
    s.groupProcessorPath = d.value;
    sawGroupProcessor_ = true;
    // A check never ends the process: it binds as a reload does.
    const std::string failure = BindGroupProcessor(config_, d.value, reload_ || check_);
    if (!failure.empty()) Problem(line_, "the group processor does not load: " + failure, true);
  } else if (k == "logfile") {
    // expanded at each write; a check writes no log
    if (!reload_ && !check_) config_.SetLogFile(std::string(d.raw));
  } else if (k == "keeporphans") {
    // Used once, at start-up, before the first run.
    if (std::optional<bool> on = ParseOnOff(d.value); on && !reload_) config_.keepOrphans_ = *on;
  } else if (k == "history") {
    if (!reload_) config_.history_ = d.value;
  } else if (k == "servername") {
    if (!reload_) config_.serverName_ = d.value;
  } else if (k == "historyoutput") {
    s.historyOutput = ParseNumber(d.value);
  } else if (k == "historydays") {
    s.historyDays = ParseNumber(d.value);
  } else if (k == "banner") {
    if (std::optional<bool> on = ParseOnOff(d.value)) s.banner = *on;
  } else if (k == "bannergraphic") {
    s.bannerGraphic = d.value;
  } else if (k == "environment") {
    s.environment = d.value;
  } else if (k.starts_with("web") && ApplyWebDirective(d)) {
    // Read once, at start-up.
  } else {
    UnknownDirective(d.key);
  }
}

void ConfigReader::AddRelayClients(std::string_view value) {
  for (const uint32_t address : ParseAddressList(value, "relayclients"))
    next_->relayClients.push_back(address);
}

std::vector<uint32_t> ConfigReader::ParseAddressList(std::string_view value,
                                                     const char* directive) {
  std::vector<uint32_t> addresses;
  for (const std::string& item : SplitList(RemoveOuterBraces(TrimBlanks(value)))) {
    const std::string_view address = TrimBlanks(item);
    if (address.empty()) continue;
    if (const std::optional<uint32_t> parsed = ParseIPv4Address(address)) {
      addresses.push_back(*parsed);
      continue;
    }
    const std::string a(address);
    Warning(StringPrintf("WARNING: invalid address \"%s\" in \"%s\" at line %d of "
                         "kestrun.conf\n",
                         a.c_str(), directive, line_),
            StringPrintf("Invalid address \"%s\" in \"%s\" at line %d of kestrun.conf", a.c_str(),
                         directive, line_));
  }
  return addresses;
}

bool ConfigReader::ApplyWebDirective(const Directive& d) {
  WebSettings& web = config_.web_;
  const std::string& k = d.lowerKey;
  const std::string value(TrimBlanks(d.value));
  const bool keep = !reload_;
  if (k == "webport") {
    if (keep) web.port = ParseNumber(value);
  } else if (k == "webaddress") {
    if (keep) web.address = value;
  } else if (k == "webcert") {
    if (keep) web.cert = value;
  } else if (k == "webkey") {
    if (keep) web.key = value;
  } else if (k == "weburl") {
    if (keep) web.url = value;
  } else if (k == "webinsecure") {
    if (std::optional<bool> on = ParseOnOff(value); on && keep) web.insecure = *on;
  } else if (k == "webauth") {
    if (EqualsNoCase(value, "pam") || EqualsNoCase(value, "proxy")) {
      if (keep) web.proxyAuth = EqualsNoCase(value, "proxy");
    } else {
      Problem(line_, "webauth must be pam or proxy, not \"" + value + "\"", true);
    }
  } else if (k == "webpamservice") {
    if (keep) web.pamService = value;
  } else if (k == "webproxyheader") {
    if (keep) web.proxyHeader = value;
  } else if (k == "webproxyaddresses") {
    std::vector<uint32_t> addresses = ParseAddressList(value, "webproxyaddresses");
    if (keep)
      web.proxyAddresses.insert(web.proxyAddresses.end(), addresses.begin(), addresses.end());
  } else if (k == "webadmins") {
    // Stored as the group check reads it: names between commas, no blanks.
    std::string groups;
    for (const std::string& item : SplitList(RemoveOuterBraces(TrimBlanks(value)))) {
      const std::string_view name = TrimBlanks(item);
      if (name.empty()) continue;
      if (!groups.empty()) groups += ',';
      groups += name;
    }
    if (keep) web.admins = groups;
  } else {
    return false;
  }
  return true;
}

void ConfigReader::CheckScheduleTimes() {
  const std::string& job = next_->jobs.back().name;
  if (!schedule_.times) {
    Problem(jobLines_.back(), "job " + job + ": autorun without autoruntimes: it never runs", true);
    return;
  }
  const std::string& times = *schedule_.times;
  const int line = schedule_.timesLine;
  if (times.find('-') != std::string::npos) {
    if (ParseTimeList(schedule_.interval, times).empty()) {
      Problem(line, "job " + job + ": autoruntimes range \"" + times +
                        "\" dropped: a range needs autoruninterval and a start before its end "
                        "(HH:MM-HH:MM)");
    }
    return;
  }
  size_t i = 0;
  while (i < times.size()) {
    const size_t end = std::min(times.find_first_of(", \t", i), times.size());
    const std::string item = times.substr(i, end - i);
    if (!item.empty() && ParseTimeOfDay(item) < 0) {
      Problem(line, "job " + job + ": autoruntimes value \"" + item +
                        "\" dropped: not a time of day from 00:00 to 23:59");
    }
    i = end + 1;
  }
}

void ConfigReader::CheckJobFiles(size_t k) {
  const JobDefinition& job = next_->jobs[k];
  const int line = jobLines_[k];
  if (!job.program.empty()) {
    bool found;
    if (job.program.find('/') != std::string::npos) {
      found = IsRunnableFile(job.program);
    } else {
      int error = 0;
      const std::optional<std::string> path = GetEnvLocked("PATH");
      found = FindProgram(job.program, path ? std::string_view(*path) : DefaultSearchPath(), &error)
                  .has_value();
    }
    if (!found)
      Problem(line,
              "job " + job.name + ": program \"" + job.program + "\" is missing or not executable");
  }
  if (!job.dialog.empty()) {
    const std::optional<FileStatus> dialog = GetFileStatus(job.dialog);
    if (!dialog || !dialog->isRegular)
      Problem(line, "job " + job.name + ": dialog file \"" + job.dialog + "\" is missing");
  }
}

void ConfigReader::FinishJobs() {
  for (JobDefinition& job : next_->jobs) {
    if (job.hasClientDirective && job.hasJobDirective)
      LogMessage(config_,
                 "Client Directives (Server/Port/ClientPort) included in job definition for job "
                 "\"%s\"",
                 job.name.c_str());
    if (job.listBoxWidth > 0) job.autoStretch = false;
  }
}

}  // namespace kestrun
