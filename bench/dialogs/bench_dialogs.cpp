// Generates the script of a dialog with 200 fields on 10 tabs (entries,
// comboboxes with choices, radio and check buttons, in labelled frames) and a
// 5,000-row list box, and prints the time one generation takes.
//
//   bench_dialogs [rounds]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/server_config.h"
#include "dialogs/dialog_script.h"

using namespace kestrun;
using Clock = std::chrono::steady_clock;

namespace {

FieldDefinition Value(std::string text) {
  FieldDefinition f;
  f.value = std::move(text);
  return f;
}

double ThreadCpuMillis() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// 10 tabs of 20 fields each: per tab a frame with 5 rows of 4 fields.
std::vector<std::string> Definition() {
  std::vector<std::string> lines;
  for (int tab = 1; tab <= 10; ++tab) {
    lines.push_back(">Page " + std::to_string(tab));
    lines.push_back("- Settings of page " + std::to_string(tab));
    for (int row = 0; row < 5; ++row)
      lines.push_back("Name: [____________] Kind: {________}  o Fast  X Check it");
    lines.push_back("-");
  }
  return lines;
}

std::vector<FieldDefinition> Fields() {
  std::vector<FieldDefinition> fields;
  for (int n = 1; n <= 200; ++n) {
    FieldDefinition f;
    f.value = "value " + std::to_string(n) + " [with] $pecial \"chars\"";
    if (n % 4 == 2)
      for (int c = 0; c < 10; ++c) f.values.push_back(Value("choice " + std::to_string(c)));
    if (n % 5 == 0) f.updates.push_back(FieldUpdate{n - 1});
    fields.push_back(std::move(f));
  }
  return fields;
}

std::vector<std::string> Rows() {
  std::vector<std::string> rows;
  for (int r = 0; r < 5000; ++r)
    rows.push_back("host" + std::to_string(r) + ",disk,/var/lib/data/" + std::to_string(r) + "," +
                   std::to_string(r * 37 % 1000) + " GB,online");
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
  ServerConfig config;  // no log file: nothing is written
  JobDefinition job;
  job.name = "BENCH";
  job.title = "Benchmark dialog";
  job.banner = true;
  job.listBox = ListBoxMode::On;
  job.listBoxIcons = true;
  job.contextColumn = 2;
  job.icons.push_back(JobIcon{"DISK", std::string(1200, 'A') + "\n", 16, 16});
  for (const char* name : {"Host", "Kind", "Path", "Size", "State"})
    job.columnNameList.push_back(Value(name));
  const std::vector<std::string> lines = Definition();
  const std::vector<FieldDefinition> fields = Fields();
  const std::vector<std::string> rows = Rows();
  const std::vector<std::string> arguments{"bench"}, environment{"KES_A=1", "PATH=/bin"};
  DialogSources sources;
  sources.getListBoxValuesFromScript = [&rows](const ListBoxScriptCall&) { return rows; };

  std::vector<double> wall, cpu;
  size_t bytes = 0;
  for (int i = 0; i < rounds; ++i) {
    const double cpu0 = ThreadCpuMillis();
    const auto t0 = Clock::now();
    const std::string script = GenerateDialogScript(
        config, DialogInput{job, fields, lines, arguments, "node", 1, "user", environment},
        sources);
    wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    cpu.push_back(ThreadCpuMillis() - cpu0);
    bytes = script.size();
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  std::printf("dialog of 200 fields on 10 tabs, list box of 5000 rows: %zu bytes of script\n",
              bytes);
  std::printf(
      "generation over %d rounds: median %.2f ms (cpu %.2f ms), best %.2f ms, "
      "worst %.2f ms; target < 20 ms\n",
      rounds, wall[wall.size() / 2], cpu[cpu.size() / 2], wall.front(), wall.back());
  return 0;
}
