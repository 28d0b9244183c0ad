// How kesclient prints the lists the server gives: aligned columns for
// people (with a header line when standard output is a terminal), or with
// --json one JSON object per line for programs. Texts from the server are
// shown with their control characters escaped in columns and as JSON
// escapes in objects.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tools/kesclient/requests.h"

namespace kestrun::client {

enum class ListFormat { Columns, ColumnsWithHeader, Json };

// `text` as a JSON string with its quotes: `"`, `\` and control characters
// escaped; other bytes, UTF-8 or not, are passed through as they are.
std::string JsonString(const std::string& text);

// `jobs`: name and help text; JSON keys "name", "help".
void PrintJobs(std::FILE* out, const std::vector<JobHelp>& jobs, ListFormat format);
// `jobs --names`: the names alone, one a line (for shell completion).
void PrintJobNames(std::FILE* out, const std::vector<JobHelp>& jobs);
// `active`: name, process id, user, start time (local time), lock value;
// JSON keys "name", "pid", "user", "start" (seconds since the epoch), "lock".
void PrintActiveJobs(std::FILE* out, const std::vector<ActiveJob>& jobs, ListFormat format);

}  // namespace kestrun::client
