#include "tools/kesclient/listing.h"

#include <ctime>

#include "client/text_escape.h"

namespace kestrun::client {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

void PrintJobs(std::FILE* out, const std::vector<JobHelp>& jobs, ListFormat format) {
  if (format == ListFormat::ColumnsWithHeader) std::fprintf(out, "%-20s %s\n", "JOB", "HELP");
  for (const JobHelp& j : jobs) {
    if (format == ListFormat::Json) {
      std::fprintf(out, "{\"name\":%s,\"help\":%s}\n", JsonString(j.name).c_str(),
                   JsonString(j.helpText).c_str());
    } else {
      std::fprintf(out, "%-20s %s\n", EscapeControlCharacters(j.name).c_str(),
                   EscapeControlCharacters(j.helpText).c_str());
    }
  }
}

void PrintJobNames(std::FILE* out, const std::vector<JobHelp>& jobs) {
  for (const JobHelp& j : jobs) std::fprintf(out, "%s\n", EscapeControlCharacters(j.name).c_str());
}

void PrintActiveJobs(std::FILE* out, const std::vector<ActiveJob>& jobs, ListFormat format) {
  if (format == ListFormat::ColumnsWithHeader) {
    std::fprintf(out, "%-20s %-8s %-12s %-19s %s\n", "JOB", "PID", "USER", "STARTED", "LOCK VALUE");
  }
  for (const ActiveJob& j : jobs) {
    if (format == ListFormat::Json) {
      std::fprintf(out, "{\"name\":%s,\"pid\":%d,\"user\":%s,\"start\":%u,\"lock\":%s}\n",
                   JsonString(j.name).c_str(), j.processId, JsonString(j.user).c_str(), j.startTime,
                   JsonString(j.lockValue).c_str());
      continue;
    }
    const std::time_t start = j.startTime;
    std::tm local{};
    char when[32] = "";
    if (localtime_r(&start, &local) != nullptr)
      std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    // The user name is whatever the running job's client claimed.
    std::fprintf(out, "%-20s %-8d %-12s %s %s\n", EscapeControlCharacters(j.name).c_str(),
                 j.processId, EscapeControlCharacters(j.user).c_str(), when,
                 EscapeControlCharacters(j.lockValue).c_str());
  }
}

}  // namespace kestrun::client
