// The job program of the job benchmark.
//   exit         exits 0 at once
//   stream BYTES writes BYTES bytes to standard output in 64 KB writes
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) return 99;
  if (std::strcmp(argv[1], "exit") == 0) return 0;
  if (std::strcmp(argv[1], "stream") != 0 || argc < 3) return 99;
  long long left = std::atoll(argv[2]);
  std::vector<char> buffer(64 * 1024, 'k');
  while (left > 0) {
    const size_t want =
        left < static_cast<long long>(buffer.size()) ? static_cast<size_t>(left) : buffer.size();
    const ssize_t n = ::write(1, buffer.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    left -= n;
  }
  return 0;
}
