#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <string>
#include <utility>

#include "tools/kesclient/terminal.h"

namespace kestrun::client {

namespace {

// The controlling terminal, closed when the question is over.
class Tty {
 public:
  Tty() : fd_(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
  ~Tty() {
    if (fd_ >= 0) ::close(fd_);
  }
  Tty(const Tty&) = delete;
  Tty& operator=(const Tty&) = delete;
  bool open() const { return fd_ >= 0; }

  void Write(const std::string& text) const {
    for (size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  // One line without its line end; what follows 80 characters is read and
  // dropped, so a long answer cannot be taken for the next one.
  std::string ReadLine() const {
    std::string line;
    for (char c;;) {
      const ssize_t n = ::read(fd_, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || c == '\n') return line;
      if (line.size() < 80) line.push_back(c);
    }
  }

 private:
  int fd_;
};

std::string Trimmed(std::string s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  size_t first = 0;
  while (first < s.size() && std::isspace(static_cast<unsigned char>(s[first]))) ++first;
  s.erase(0, first);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

TerminalAnswer AskOnTerminal(const std::string& question) {
  if (::isatty(STDIN_FILENO) == 0) return TerminalAnswer::NoTerminal;
  const Tty tty;
  if (!tty.open()) return TerminalAnswer::NoTerminal;
  tty.Write(question + " [y/N] ");
  const std::string answer = Trimmed(tty.ReadLine());
  return answer == "y" || answer == "yes" ? TerminalAnswer::Yes : TerminalAnswer::No;
}

}  // namespace kestrun::client
