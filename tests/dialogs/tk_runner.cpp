#include "tests/dialogs/tk_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace kestrun::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool OnPath(const std::string& program) {
  const char* path = getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  return false;
}

// Starts `argv` with standard output and error going to files; -1 on failure.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
            const std::vector<std::string>& extraEnv = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env = extraEnv;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Waits for `pid` until `timeout`; kills it then. Exit status, or -1.
int WaitFor(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kesdlg-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

const char kPrelude[] = R"tcl(set hsize 10
set bsize 14
set btfamily Helvetica
set platform 0
set framecolour blue
set ::calls {}
foreach p {cbc ebc bbc apply dblclick cascade autorefresh} {
  proc $p {args} "lappend ::calls \[concat $p \$args\]"
}
proc bgerror {msg} { puts "bgerror=$msg" }
after 60000 { puts "error=timeout"; exit 3 }
)tcl";

const char kReport[] = R"tcl(
puts "button=$button"
foreach v {NumFields lbNumColumns} {
  if {[info exists $v]} { puts "$v=[set $v]" }
}
if {[info exists NumFields]} {
  for {set n 1} {$n <= $NumFields} {incr n} {
    if {[info exists name$n]} { puts "name$n=[set name$n]" }
    if {[info exists wn$n]} {
      puts "wn$n=[set wn$n]"
      catch { puts "class$n=[winfo class [set wn$n]]" }
    }
  }
}
puts "calls=$::calls"
puts "end-of-report"
flush stdout
exit 0
)tcl";

}  // namespace

std::unique_ptr<XDisplay> XDisplay::Start() {
  if (!OnPath("Xvfb")) return nullptr;
  TempDir logs;
  for (int n = 40 + getpid() % 200, tries = 0; tries < 20; ++n, ++tries) {
    if (fs::exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
    const std::string name = ":" + std::to_string(n);
    const pid_t pid = Spawn({"Xvfb", name, "-nolisten", "tcp", "-screen", "0", "1280x1024x24"},
                            "/dev/null", "/dev/null");
    if (pid < 0) return nullptr;
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (Clock::now() < deadline) {
      if (waitpid(pid, &status, WNOHANG) == pid) break;  // lost the race for n
      if (fs::exists(socket)) return std::unique_ptr<XDisplay>(new XDisplay(pid, name));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return nullptr;
}

XDisplay::~XDisplay() {
  kill(pid_, SIGTERM);
  WaitFor(pid_, std::chrono::seconds(5));
}

bool HaveWish() {
  return OnPath("wish");
}

std::string TkRun::Value(const std::string& key) const {
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with(key + "=")) return line.substr(key.size() + 1);
  return "<missing>";
}

TkRun RunDialog(const XDisplay& display, const std::string& script, const std::string& actions) {
  return RunDialog(display, "", script, actions);
}

TkRun RunDialog(const XDisplay& display, const std::string& before, const std::string& script,
                const std::string& actions) {
  TempDir dir;
  {
    std::ofstream(dir.File("dialog.tcl"), std::ios::binary) << script;
    std::ofstream(dir.File("actions.tcl"), std::ios::binary)
        << (actions.empty() ? ".bb.okbutton invoke" : actions);
    std::ofstream main(dir.File("main.tcl"), std::ios::binary);
    main << kPrelude << before << "\n"
         << "after 100 {\n  update\n  if {[catch {source " << dir.File("actions.tcl")
         << "} r]} { puts \"result=error: $r\" } else { puts \"result=$r\" }\n"
         << "  if {![info exists button]} { set button none }\n}\n"
         << "if {[catch {source -encoding utf-8 " << dir.File("dialog.tcl")
         << "} e]} {\n  puts \"error=[string map {\\n { | }} $::errorInfo]\"\n"
         << "  set button none\n}\n"
         << "catch { puts \"rows=[.lb.c1.tvf.tv children {}]\" }\n"
         << kReport;
  }
  TkRun run;
  const pid_t pid = Spawn({"wish", dir.File("main.tcl")}, dir.File("out"), dir.File("err"),
                          {"DISPLAY=" + display.name()});
  if (pid < 0) return run;
  // Tk takes long to tear down thousands of widgets at exit; once the report
  // is complete there is nothing more to learn from the process.
  const auto deadline = Clock::now() + std::chrono::seconds(90);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    const bool reported = ReadFile(dir.File("out")).find("end-of-report\n") != std::string::npos;
    if (reported || Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      status = reported ? 0 : -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : status;
  run.out = ReadFile(dir.File("out"));
  run.err = ReadFile(dir.File("err"));
  return run;
}

}  // namespace kestrun::test
