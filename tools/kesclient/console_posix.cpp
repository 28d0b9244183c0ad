#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>
#include <vector>

#include "tools/kesclient/console.h"
#include "tools/kesclient/exit_status.h"

namespace kestrun::client {

std::string LoginName() {
  if (const char* u = std::getenv("USER"); u && *u) return u;
  if (passwd* pw = ::getpwuid(::getuid())) return pw->pw_name;
  return "unknown";
}

bool IsTerminal(int fd) {
  return ::isatty(fd) != 0;
}

void WatchInterrupts(std::function<bool(bool ctrlC)> handler) {
  // Blocked here and so in every thread started later; only the watcher
  // takes them, with sigwait.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, handler = std::move(handler)] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      if (!handler(sig == SIGINT)) std::_Exit(kExitInterrupted);
    }
  }).detach();
}

bool WriteAll(int fd, std::span<const std::string_view> pieces) {
  std::vector<iovec> io;
  io.reserve(pieces.size());
  for (const std::string_view piece : pieces)
    io.push_back({const_cast<char*>(piece.data()), piece.size()});
  size_t first = 0;
  while (first < io.size()) {
    const int count = static_cast<int>(std::min<size_t>(io.size() - first, IOV_MAX));
    const ssize_t n = ::writev(fd, &io[first], count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // A partial write resumes inside the piece it stopped in.
    size_t done = static_cast<size_t>(n);
    while (first < io.size() && done >= io[first].iov_len) {
      done -= io[first].iov_len;
      ++first;
    }
    if (first < io.size()) {
      io[first].iov_base = static_cast<char*>(io[first].iov_base) + done;
      io[first].iov_len -= done;
    }
  }
  return true;
}

InputReader::InputReader(int fd) : fd_(fd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  cancelRead_ = fds[0];
  cancelWrite_ = fds[1];
  ready_ = true;
}

InputReader::~InputReader() {
  if (cancelRead_ >= 0) ::close(static_cast<int>(cancelRead_));
  if (cancelWrite_ >= 0) ::close(static_cast<int>(cancelWrite_));
}

long InputReader::Read(char* buffer, size_t size) {
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {static_cast<int>(cancelRead_), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (fds[1].revents) return -1;
    const ssize_t n = ::read(fd_, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? 0 : static_cast<long>(n);
  }
}

void InputReader::Cancel() {
  cancelled_ = true;
  [[maybe_unused]] const ssize_t n = ::write(static_cast<int>(cancelWrite_), "x", 1);
}

}  // namespace kestrun::client
