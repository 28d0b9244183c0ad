#include "config/config_reader.h"

#include <cstdio>
#include <iterator>

#include "base/environment.h"
#include "base/log.h"
#include "base/safe_format.h"
#include "base/text.h"
#include "config/group_processor.h"
#include "platform/filesystem.h"

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

Directive MakeDirective(const ClassifiedLine& line) {
  Directive d;
  d.key = line.key;
  d.lowerKey = LowerCase(line.key);
  d.raw = line.value;
  d.value = ExpandVariables(line.value);
  return d;
}

}  // namespace

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

ConfigReader::ConfigReader(ServerConfig& config, bool reload, std::FILE* out, std::FILE* err)
    : config_(config),
      reload_(reload),
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
  if (!reload_) {
    std::fputs(toStderr.c_str(), err_);
    std::fflush(err_);
  }
  LogServerText(config_, toLog);
}

void ConfigReader::UnknownDirective(std::string_view key) {
  const std::string k(key);
  std::fprintf(out_, "Unknown directive \"%s\" at line %d of kestrun.conf\n", k.c_str(), line_);
  std::fflush(out_);
  LogMessage(config_, "Unknown directive \"%s\" at line %d of kestrun.conf", k.c_str(), line_);
}

ConfigReader::Result ConfigReader::Read() {
  const std::string& path = config_.configPath();
  // The time is taken before the read: a change made meanwhile is seen as a
  // later time by the next check, which reads the file again.
  const std::optional<FileStatus> status = GetFileStatus(path);
  std::optional<std::string> content = ReadPlainFile(path);
  if (!status || !content) {
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
  if (sawGroupProcessor_) ReportGroupProcessor(config_, next_->groupProcessorPath, reload_);

  for (size_t k = 0; k < next_->jobs.size(); ++k)
    next_->jobIndex.try_emplace(next_->jobs[k].name, k);
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
        const std::string message =
            StringPrintf("Syntax error at line %d in %s\n", line_, config_.configPath().c_str());
        LogServerText(config_, message);
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
    BindGroupProcessor(config_, d.value, reload_);
  } else if (k == "logfile") {
    if (!reload_) config_.SetLogFile(std::string(d.raw));  // expanded at each write
  } else if (k == "keeporphans") {
    // Used once, at start-up, before the first run.
    if (std::optional<bool> on = ParseOnOff(d.value); on && !reload_) config_.keepOrphans_ = *on;
  } else if (k == "history") {
    if (!reload_) config_.history_ = d.value;
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
  } else {
    UnknownDirective(d.key);
  }
}

void ConfigReader::AddRelayClients(std::string_view value) {
  for (const std::string& item : SplitList(RemoveOuterBraces(TrimBlanks(value)))) {
    const std::string_view address = TrimBlanks(item);
    if (address.empty()) continue;
    if (const std::optional<uint32_t> parsed = ParseIPv4Address(address)) {
      next_->relayClients.push_back(*parsed);
      continue;
    }
    const std::string a(address);
    Warning(StringPrintf("WARNING: invalid address \"%s\" in \"relayclients\" at line %d of "
                         "kestrun.conf\n",
                         a.c_str(), line_),
            StringPrintf("Invalid address \"%s\" in \"relayclients\" at line %d of kestrun.conf",
                         a.c_str(), line_));
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
