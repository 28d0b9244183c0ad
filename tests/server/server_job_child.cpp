// A job program for the server tests.
//   close-input MARKER   closes its standard input, prints "closed", then
//                        waits (at most 20 s) until the file MARKER exists
//                        and exits 0. While it waits, anything written to
//                        its input finds a pipe without a reader.
//   escape               prints its pid; a child leaves the session
//                        (setsid) and forks a grandchild, then ends; the
//                        grandchild prints its pid, keeps standard output
//                        open and waits 60 s; the program waits 60 s too.
//   flood                writes "x" lines to standard output without end.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "close-input" && argc > 2) {
    ::close(0);
    std::fputs("closed\n", stdout);
    std::fflush(stdout);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (::access(argv[2], F_OK) != 0) {
      if (std::chrono::steady_clock::now() > deadline) return 2;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 0;
  }
  if (mode == "escape") {
    std::printf("%d\n", static_cast<int>(::getpid()));
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
      ::setsid();
      if (::fork() == 0) {
        std::printf("%d\n", static_cast<int>(::getpid()));
        std::fflush(stdout);
        ::sleep(60);
      }
      ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    ::sleep(60);
    return 0;
  }
  if (mode == "flood") {
    const std::string line(1000, 'x');
    for (;;) {
      if (std::fputs((line + "\n").c_str(), stdout) < 0) return 1;
    }
  }
  std::fputs("usage: server_job_child close-input MARKER | escape | flood\n", stderr);
  return 2;
}
