#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/interrupts.h"
#include "platform/pipe.h"

namespace kestrun {

static sigset_t InterruptSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

void BlockInterruptSignals() {
  const sigset_t set = InterruptSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int InterruptWatcher::Start(Handler handler) {
  const sigset_t set = InterruptSet();
  UniqueFd signals(::signalfd(-1, &set, SFD_CLOEXEC));
  if (!signals) return errno;
  int error = 0;
  std::optional<Pipe> stop = CreatePipe(&error);
  if (!stop) return error;
  handler_ = std::move(handler);
  signals_ = std::move(signals);
  stopRead_ = std::move(stop->read);
  stopWrite_ = std::move(stop->write);
  thread_ = std::thread([this] { Run(); });
  return 0;
}

void InterruptWatcher::Run() {
  for (;;) {
    pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      int error = 0;
      if (ReadSome(signals_.get(), &info, sizeof info, &error) == sizeof info) {
        handler_(static_cast<int>(info.ssi_signo));
      }
    }
  }
}

InterruptWatcher::~InterruptWatcher() {
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
    return;
  }
  const char stop = 1;
  WriteAll(stopWrite_.get(), &stop, 1);
  thread_.join();
}

}  // namespace kestrun
