// A job program for the server tests.
//   close-input MARKER   closes its standard input, prints "closed", then
//                        waits (at most 20 s) until the file MARKER exists
//                        and exits 0. While it waits, anything written to
//                        its input finds a pipe without a reader.
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
  std::fputs("usage: server_job_child close-input MARKER\n", stderr);
  return 2;
}
