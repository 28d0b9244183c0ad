// The job program of the client benchmark.
//   exit          exits 0 at once
//   stream BYTES  writes BYTES bytes to standard output in 64 KB writes
//   copy          copies standard input to standard output
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool WriteAll(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(1, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 99;
  if (std::strcmp(argv[1], "exit") == 0) return 0;
  std::vector<char> buffer(64 * 1024, 'k');
  if (std::strcmp(argv[1], "copy") == 0) {
    for (;;) {
      const ssize_t n = ::read(0, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return 1;
      if (n == 0) return 0;
      if (!WriteAll(buffer.data(), static_cast<size_t>(n))) return 1;
    }
  }
  if (std::strcmp(argv[1], "stream") != 0 || argc < 3) return 99;
  long long left = std::atoll(argv[2]);
  while (left > 0) {
    const size_t want =
        left < static_cast<long long>(buffer.size()) ? static_cast<size_t>(left) : buffer.size();
    if (!WriteAll(buffer.data(), want)) return 1;
    left -= static_cast<long long>(want);
  }
  return 0;
}
