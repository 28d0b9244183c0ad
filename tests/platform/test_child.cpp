// A small program the platform tests start as a job. The first argument
// picks what it does; see Usage below.
#include <dirent.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

void WriteText(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Prints the numbers of the open descriptors, one per line.
int ListFds() {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return 2;
  std::string out;
  std::vector<int> fds;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const int fd = std::atoi(e->d_name);
    if (fd != dirfd(dir)) fds.push_back(fd);
  }
  closedir(dir);
  std::sort(fds.begin(), fds.end());
  for (int fd : fds) out += std::to_string(fd) + "\n";
  WriteText(1, out);
  return 0;
}

// Forks a child that forks a grandchild; each prints "<pid>\n" and waits to
// be killed. The launcher's process prints its pid first.
int Tree() {
  WriteText(1, std::to_string(getpid()) + "\n");
  if (fork() == 0) {
    WriteText(1, std::to_string(getpid()) + "\n");
    if (fork() == 0) WriteText(1, std::to_string(getpid()) + "\n");
    for (;;) pause();
  }
  for (;;) pause();
}

// Starts a child that starts a grandchild and exits at once, so the
// grandchild is left without a parent in the tree; the grandchild prints
// its pid and waits to be killed, and so does the launched process.
int Orphan() {
  WriteText(1, std::to_string(getpid()) + "\n");
  const pid_t child = fork();
  if (child == 0) {
    if (fork() == 0) {
      WriteText(1, std::to_string(getpid()) + "\n");
      for (;;) pause();
    }
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  for (;;) pause();
}

// Copies standard input to standard output until end of input.
int Cat() {
  char buf[65536];
  for (;;) {
    const ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0) return n == 0 ? 0 : 3;
    WriteText(1, std::string(buf, static_cast<size_t>(n)));
  }
}

// Writes `count` bytes of a repeating pattern to standard output.
int Stream(long long count) {
  std::string block(1 << 16, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 26);
  while (count > 0) {
    const size_t n =
        count < static_cast<long long>(block.size()) ? static_cast<size_t>(count) : block.size();
    size_t done = 0;
    while (done < n) {
      const ssize_t w = write(1, block.data() + done, n - done);
      if (w <= 0) return 4;
      done += static_cast<size_t>(w);
    }
    count -= static_cast<long long>(n);
  }
  return 0;
}

// Writes `count` bytes to standard output and to standard error at the same
// time, in writes of varying size: "abc..z" repeated on output, "ABC..Z" on
// error.
int Both(long long count) {
  const pid_t helper = fork();
  const int fd = helper == 0 ? 2 : 1;
  const char first = helper == 0 ? 'A' : 'a';
  std::string block(70000, '\0');
  long long written = 0;
  size_t size = 1;
  while (written < count) {
    const size_t n = static_cast<size_t>(std::min<long long>(count - written, size));
    for (size_t i = 0; i < n; ++i) block[i] = static_cast<char>(first + (written + i) % 26);
    WriteText(fd, block.substr(0, n));
    written += static_cast<long long>(n);
    size = size * 7 % 69997 + 1;
  }
  if (helper == 0) _exit(0);
  waitpid(helper, nullptr, 0);
  return 0;
}

const char* Usage =
    "test_child fds | both N | lines | linger | after-eof N CODE | exit N | args ... | env | tree "
    "| orphan | cat | stream N | stdio-lines |\n"
    "  write OUT ERR | signal N | pgid | sigstate | sleep | close-stdin | ignore-input |\n"
    "  stubborn\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(Usage, stderr);
    return 2;
  }
  const std::string mode = argv[1];
  if (mode == "fds") return ListFds();
  if (mode == "stubborn") {
    // Ignores SIGTERM, says "ready" and waits to be killed.
    signal(SIGTERM, SIG_IGN);
    WriteText(1, "ready\n");
    for (;;) pause();
  }
  if (mode == "both" && argc > 2) return Both(std::atoll(argv[2]));
  if (mode == "lines") {
    // Writes its second line only after a byte of input arrived.
    WriteText(1, "first\n");
    char c;
    if (read(0, &c, 1) != 1) return 5;
    WriteText(1, "second\n");
    return 0;
  }
  if (mode == "linger") {
    // Exits at once, leaving a grandchild that holds standard output (but
    // not standard input) open until it is killed; prints the grandchild's
    // pid.
    if (fork() == 0) {
      close(0);
      WriteText(1, std::to_string(getpid()) + "\n");
      for (;;) pause();
    }
    return 0;
  }
  if (mode == "after-eof" && argc > 3) {
    // Says "started", reads its input to the end, then writes N bytes and
    // exits with the given code.
    WriteText(1, "started\n");
    char buf[4096];
    while (read(0, buf, sizeof buf) > 0) {
    }
    Stream(std::atoll(argv[2]));
    return std::atoi(argv[3]);
  }
  if (mode == "exit" && argc > 2) return std::atoi(argv[2]);
  if (mode == "args") {
    // Every argument (after the mode) between < and >, one per line.
    std::string out;
    for (int i = 2; i < argc; ++i) out += std::string("<") + argv[i] + ">\n";
    WriteText(1, out);
    return 0;
  }
  if (mode == "env") {
    std::string out;
    for (char** e = environ; *e; ++e) out += std::string(*e) + "\n";
    WriteText(1, out);
    return 0;
  }
  if (mode == "tree") return Tree();
  if (mode == "orphan") return Orphan();
  if (mode == "cat") return Cat();
  if (mode == "stream" && argc > 2) return Stream(std::atoll(argv[2]));
  if (mode == "stdio-lines") {
    // Stdio-buffered output: the first line reaches the reader before the
    // second is written only when standard output is line-buffered (a
    // terminal). The second line waits for a byte of standard input.
    std::printf("first line\n");
    char c;
    if (read(0, &c, 1) != 1) return 5;
    std::printf("second line\n");
    return 0;
  }
  if (mode == "write" && argc > 3) {
    WriteText(1, argv[2]);
    WriteText(2, argv[3]);
    return 0;
  }
  if (mode == "signal" && argc > 2) {
    signal(std::atoi(argv[2]), SIG_DFL);
    raise(std::atoi(argv[2]));
    return 6;
  }
  if (mode == "pgid") {
    WriteText(1, std::to_string(getpid()) + " " + std::to_string(getpgid(0)) + "\n");
    return 0;
  }
  if (mode == "sigstate") {
    // "blocked=<n> pipe=<default|other>": how many of SIGINT and SIGTERM are
    // blocked, and the disposition of SIGPIPE.
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    const int blocked = sigismember(&mask, SIGINT) + sigismember(&mask, SIGTERM);
    struct sigaction sa {};
    sigaction(SIGPIPE, nullptr, &sa);
    WriteText(1, "blocked=" + std::to_string(blocked) +
                     " pipe=" + (sa.sa_handler == SIG_DFL ? "default" : "other") + "\n");
    return 0;
  }
  if (mode == "sleep") {
    for (;;) pause();
  }
  if (mode == "close-stdin") {
    // Closes its input at once, says so and exits 0.
    close(0);
    WriteText(1, "closed\n");
    return 0;
  }
  if (mode == "ignore-input") {
    // Never reads its input; prints one line and exits 0.
    WriteText(1, "done\n");
    return 0;
  }
  std::fputs(Usage, stderr);
  return 2;
}
