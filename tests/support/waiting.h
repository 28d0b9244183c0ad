// Test support: waiting for a condition that another process or thread
// brings about, and checking what a sanitizer build of a server printed.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace kestrun::test {

// Polls `done` every 5 ms until it holds (true) or `timeout` passes (false).
template <class Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A sanitizer build of a program reports its findings on standard error.
inline void ExpectNoSanitizerFindings(const std::string& err) {
  EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
  EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
}

// Stops a test suite's server (a RunningServer), when it was started, and
// checks what it printed for sanitizer findings.
template <class Server>
void StopServerChecked(Server* server) {
  if (server == nullptr) return;
  server->Stop();
  ExpectNoSanitizerFindings(server->process().Stderr());
}

}  // namespace kestrun::test
