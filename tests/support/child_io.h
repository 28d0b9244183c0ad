// Helpers of the platform tests: the path of the test child program and
// launching it with pipes.
#pragma once

#include <string>
#include <vector>

#include "platform/pipe.h"
#include "platform/process.h"

namespace kestrun::test {

inline const std::string kChild = KES_TEST_CHILD;

// Reads a descriptor to its end.
inline std::string ReadToEnd(FileHandle fd) {
  std::string out;
  char buf[4096];
  int error = 0;
  long n;
  while ((n = ReadSome(fd, buf, sizeof buf, &error)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

// Reads one "\n"-terminated line (without it), byte by byte.
inline std::string ReadLine(FileHandle fd) {
  std::string line;
  char c;
  int error = 0;
  while (ReadSome(fd, &c, 1, &error) == 1 && c != '\n') line += c;
  return line;
}

// A started child with the server's ends of its three pipes.
struct PipedChild {
  Process process;
  UniqueFd in, out, err;
};

inline std::optional<PipedChild> StartChild(std::vector<std::string> arguments, int* error,
                                            std::vector<std::string> environment = {},
                                            std::string searchPath = {}, bool held = false) {
  auto in = CreatePipe(), out = CreatePipe(), err = CreatePipe();
  if (!in || !out || !err) return std::nullopt;
  LaunchOptions options;
  options.program = arguments.at(0);
  options.arguments = std::move(arguments);
  options.environment = std::move(environment);
  options.searchPath = std::move(searchPath);
  options.descriptors = {in->read.get(), out->write.get(), err->write.get()};
  options.holdBeforeExec = held;
  std::optional<Process> process = LaunchProcess(options, error);
  if (!process) return std::nullopt;
  if (const int failed = process->Resume()) {
    *error = failed;
    return std::nullopt;
  }
  return PipedChild{std::move(*process), std::move(in->write), std::move(out->read),
                    std::move(err->read)};
}

}  // namespace kestrun::test
