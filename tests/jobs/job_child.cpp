// The job program of the job tests: one small program whose first argument
// picks what it does.
//   cat [CODE]           copies standard input to standard output byte for
//                        byte, then exits with CODE (default 0)
//   exit CODE            exits with CODE at once
//   args ARG...          prints each argument as "[ARG]" on a line
//   env NAME...          prints "NAME=value" or "NAME unset" for each name
//   tty [ARG...]         prints "tty" when standard output is a terminal,
//                        else "pipe", then " ARG" for each argument
//   both                 writes "out" to standard output, "err" to standard
//                        error
//   hold IN FIFO DONE    reads standard input to its end, writes its process
//                        id to the file IN, waits until a writer has opened
//                        and closed the FIFO, creates the file DONE and exits
//                        with 3
//   stream BYTES         writes BYTES bytes to standard output and exits 0
//   cat-then-wait FIFO   copies standard input to standard output, then
//                        waits until a writer has opened and closed the FIFO
//                        and exits 0
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int Cat(int code) {
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ssize_t n = ::read(0, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 100;
    if (n == 0) return code;
    if (!WriteAll(1, buffer.data(), static_cast<size_t>(n))) return 101;
  }
}

bool CreateFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, text.data(), text.size());
  ::close(fd);
  return ok;
}

int Hold(const char* inMarker, const char* path, const char* doneMarker) {
  char c;
  while (::read(0, &c, 1) > 0) {
  }
  // Written once the input has ended: by then the server has seen the client
  // go, and this process is still running.
  if (!CreateFile(inMarker, std::to_string(::getpid()))) return 103;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 102;
  while (::read(fd, &c, 1) > 0) {
  }
  ::close(fd);
  return CreateFile(doneMarker, "done") ? 3 : 103;
}

int Stream(long long bytes) {
  std::vector<char> buffer(64 * 1024);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<char>('a' + i % 26);
  while (bytes > 0) {
    const size_t n =
        bytes < static_cast<long long>(buffer.size()) ? static_cast<size_t>(bytes) : buffer.size();
    if (!WriteAll(1, buffer.data(), n)) return 104;
    bytes -= static_cast<long long>(n);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 99;
  const std::string mode = argv[1];
  if (mode == "cat") return Cat(argc > 2 ? std::atoi(argv[2]) : 0);
  if (mode == "exit" && argc > 2) return std::atoi(argv[2]);
  if (mode == "args") {
    std::string out;
    for (int i = 2; i < argc; ++i) out += std::string("[") + argv[i] + "]\n";
    return WriteAll(1, out.data(), out.size()) ? 0 : 101;
  }
  if (mode == "env") {
    std::string out;
    for (int i = 2; i < argc; ++i) {
      const char* value = std::getenv(argv[i]);
      out += value ? std::string(argv[i]) + "=" + value + "\n" : std::string(argv[i]) + " unset\n";
    }
    return WriteAll(1, out.data(), out.size()) ? 0 : 101;
  }
  if (mode == "tty") {
    std::string out = ::isatty(1) ? "tty" : "pipe";
    for (int i = 2; i < argc; ++i) out += std::string(" ") + argv[i];
    out += "\n";
    return WriteAll(1, out.data(), out.size()) ? 0 : 101;
  }
  if (mode == "both") return WriteAll(1, "out\n", 4) && WriteAll(2, "err\n", 4) ? 0 : 101;
  if (mode == "hold" && argc > 4) return Hold(argv[2], argv[3], argv[4]);
  if (mode == "stream" && argc > 2) return Stream(std::atoll(argv[2]));
  if (mode == "cat-then-wait" && argc > 2) {
    if (const int code = Cat(0); code != 0) return code;
    const int fd = ::open(argv[2], O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 102;
    char c;
    while (::read(fd, &c, 1) > 0) {
    }
    ::close(fd);
    return 0;
  }
  return 99;
}
