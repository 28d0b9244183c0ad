#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "tools/kestrunTTY/pseudo_terminal.h"

namespace kestrun {

std::optional<PseudoTerminal> OpenPseudoTerminal(int* error) {
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  char name[128];
  if (!master || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0 ||
      ::ptsname_r(master.get(), name, sizeof name) != 0) {
    *error = errno;
    return std::nullopt;
  }
  UniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave) {
    *error = errno;
    return std::nullopt;
  }
  termios mode{};
  if (::tcgetattr(slave.get(), &mode) == 0) {
    // Output arrives byte for byte; nothing is typed on this terminal, so
    // nothing needs echoing either.
    mode.c_oflag &= ~OPOST;
    mode.c_lflag &= ~(ECHO | ECHONL);
    ::tcsetattr(slave.get(), TCSANOW, &mode);
  }
  // A size, for programs that format their output to the terminal's width.
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 80;
  ::ioctl(slave.get(), TIOCSWINSZ, &size);
  return PseudoTerminal{std::move(master), std::move(slave)};
}

}  // namespace kestrun
