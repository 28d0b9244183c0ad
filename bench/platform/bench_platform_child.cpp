// The job program of the platform benchmark.
//   exit          exits 0 at once
//   stream BYTES  writes BYTES bytes to standard output in 64 KB writes
// Plain C library calls only, so that it starts as fast as a C program.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 2) return 99;
  if (std::strcmp(argv[1], "exit") == 0) return 0;
  if (std::strcmp(argv[1], "stream") != 0 || argc < 3) return 99;
  long long left = std::atoll(argv[2]);
  static char block[64 * 1024];
  for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<char>('a' + i % 26);
  while (left > 0) {
    const size_t want =
        left < static_cast<long long>(sizeof block) ? static_cast<size_t>(left) : sizeof block;
    const ssize_t n = ::write(1, block, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 1;
    left -= n;
  }
  return 0;
}
