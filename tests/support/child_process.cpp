#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace kestrun::test {

namespace {

std::vector<std::string> MergedEnvironment(const std::vector<EnvChange>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool changed = false;
    for (const EnvChange& c : changes) changed = changed || c.name == name;
    if (!changed) env.push_back(entry);
  }
  for (const EnvChange& c : changes) {
    if (c.value) env.push_back(c.name + "=" + *c.value);
  }
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> p;
  for (std::string& t : texts) p.push_back(t.data());
  p.push_back(nullptr);
  return p;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<EnvChange>& env,
                           const std::string& workingDirectory) {
  std::vector<std::string> args = argv;
  std::vector<std::string> envTexts = MergedEnvironment(env);
  std::vector<char*> argp = Pointers(args);
  std::vector<char*> envp = Pointers(envTexts);
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec: the test is
    // multi-threaded.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(126);
    ::dup2(devNull, 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0) ::_exit(126);
    ::execve(argp[0], argp.data(), envp.data());
    ::_exit(127);
  }
  ::close(devNull);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  out_.fd = outPipe[0];
  err_.fd = errPipe[0];
  if (pid_ < 0) {
    out_.ended = err_.ended = true;
    return;
  }
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  out_.reader = std::thread([this] { ReadStream(out_); });
  err_.reader = std::thread([this] { ReadStream(err_); });
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    Reap(0);
  }
  // The write ends may live on in a grandchild that inherited them; the
  // readers give up once the child is gone and the streams are quiet.
  if (out_.reader.joinable()) out_.reader.join();
  if (err_.reader.joinable()) err_.reader.join();
  if (out_.fd >= 0) ::close(out_.fd);
  if (err_.fd >= 0) ::close(err_.fd);
  if (pidfd_ >= 0) ::close(pidfd_);
}

void ChildProcess::ReadStream(Stream& s) {
  char buffer[4096];
  for (;;) {
    pollfd p[2] = {{s.fd, POLLIN, 0}, {pidfd_, POLLIN, 0}};
    const int n = ::poll(p, pidfd_ >= 0 ? 2 : 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (p[0].revents == 0 && (p[1].revents & POLLIN)) {
      // The child ended; drain what is already in the pipe without waiting
      // for descendants that may still hold its write end.
      pollfd q{s.fd, POLLIN, 0};
      if (::poll(&q, 1, 200) <= 0) break;
    }
    const ssize_t got = ::read(s.fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    std::lock_guard<std::mutex> guard(lock_);
    s.text.append(buffer, static_cast<size_t>(got));
    changed_.notify_all();
  }
  std::lock_guard<std::mutex> guard(lock_);
  s.ended = true;
  changed_.notify_all();
}

std::string ChildProcess::Stdout() const {
  std::lock_guard<std::mutex> guard(lock_);
  return out_.text;
}

std::string ChildProcess::Stderr() const {
  std::lock_guard<std::mutex> guard(lock_);
  return err_.text;
}

bool ChildProcess::WaitFor(Stream& s, std::string_view text, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, timeout, [&] {
    return s.text.find(text) != std::string::npos || s.ended;
  }) && s.text.find(text) != std::string::npos;
}

bool ChildProcess::WaitForStdout(std::string_view text, std::chrono::milliseconds timeout) {
  return WaitFor(out_, text, timeout);
}

bool ChildProcess::WaitForStderr(std::string_view text, std::chrono::milliseconds timeout) {
  return WaitFor(err_, text, timeout);
}

void ChildProcess::Signal(int signal) const {
  if (pid_ > 0 && !status_) ::kill(pid_, signal);
}

void ChildProcess::Reap(int options) {
  int raw = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &raw, options);
  } while (r < 0 && errno == EINTR);
  if (r == pid_) status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

std::optional<int> ChildProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  if (pid_ <= 0) return std::nullopt;
  pollfd p{pidfd_, POLLIN, 0};
  int n;
  do {
    n = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return std::nullopt;
  Reap(0);
  if (out_.reader.joinable()) out_.reader.join();
  if (err_.reader.joinable()) err_.reader.join();
  return status_;
}

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::vector<EnvChange>& env,
                         std::chrono::milliseconds timeout) {
  ChildProcess child(argv, env);
  ProgramResult result;
  if (std::optional<int> status = child.WaitExit(timeout)) result.status = *status;
  result.out = child.Stdout();
  result.err = child.Stderr();
  return result;
}

}  // namespace kestrun::test
