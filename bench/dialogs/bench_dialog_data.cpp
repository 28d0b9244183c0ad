// GET_DIALOG_DATA of a dialog with 200 fields whose populate scripts each run
// a trivial program (echo of the job parameter), against the built server in a temporary home. The
// scripts run one after another; prints the time of a whole request and the
// time per script (target: the request under 1.5 s).
//
//   bench_dialog_data [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "protocol/messages/dialog.h"
#include "tests/support/server_home.h"

using namespace kestrun;
using namespace kestrun::test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFields = 200;

std::string Config(const std::string& home) {
  std::string job = "WIDE:\n  dialog = " + home + "/wide.dlg\n  param = value\n";
  for (int k = 1; k <= kFields; ++k)
    job += "  populatefield" + std::to_string(k) + "with = " KES_BENCH_TRIVIAL "\n";
  return job;
}

std::string Definition() {
  std::string text;
  for (int k = 1; k <= kFields; ++k) text += "Field " + std::to_string(k) + ": [__________]\n";
  return text;
}

// One GET_DIALOG_DATA; the script's length, or 0 on failure.
size_t AskDialog(int port) {
  XDRWRAP m;
  messages::EncodeRequest(
      m, messages::GetDialogDataRequest{"WIDE", "ann", "pc1", 77, false, {}, std::nullopt});
  std::optional<XDRWRAP> reply = Exchange(port, m, std::chrono::seconds(60));
  if (!reply) return 0;
  const messages::GetDialogDataReply answer = messages::DecodeGetDialogDataReply(*reply);
  const auto* script = std::get_if<messages::DialogScriptReply>(&answer);
  return script ? script->script.size() : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  TestHome home;
  home.WriteFile("wide.dlg", Definition());
  RunningServer server(home, {}, Config(home.path()));
  if (!server.ready()) {
    std::fprintf(stderr, "server did not start\n");
    return 1;
  }
  std::vector<double> millis;
  for (int r = 0; r < rounds; ++r) {
    const auto start = Clock::now();
    const size_t length = AskDialog(server.port());
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (length == 0) {
      std::fprintf(stderr, "GET_DIALOG_DATA failed\n");
      return 1;
    }
    millis.push_back(ms);
  }
  std::sort(millis.begin(), millis.end());
  const double median = millis[millis.size() / 2];
  std::printf("GET_DIALOG_DATA, %d fields with populate scripts (%s), %d rounds\n", kFields,
              KES_BENCH_TRIVIAL, rounds);
  std::printf("  median %.1f ms, best %.1f ms, worst %.1f ms (target < 1500 ms)\n", median,
              millis.front(), millis.back());
  std::printf("  per script: median %.2f ms\n", median / kFields);
  server.Stop();
  return 0;
}
