// Windows: Ctrl+C, Ctrl+Break and the console's close, log-off and shut-down
// events reach SetConsoleCtrlHandler's routine on a thread the system starts
// for it. The routine only records the event and wakes the watcher thread,
// which runs the handler as SIGINT (Ctrl+C, Ctrl+Break) or SIGTERM (close,
// log-off, shut-down). The routine takes no argument, so the one watcher of
// the process is found through a process-wide pointer, set by Start and
// cleared by the destructor.
//
// There are no signal masks: BlockInterruptSignals and BlockBrokenPipeSignal
// do nothing (a write to a pipe whose reader has gone fails with EPIPE on
// Windows anyway).
#include <windows.h>

#include <atomic>
#include <csignal>

#include "platform/interrupts.h"
#include "platform/wide_win32.h"

namespace kestrun {

namespace {

// The watcher's event (signals_) and the signal last recorded.
struct ConsoleControl {
  std::atomic<HANDLE> event{nullptr};
  std::atomic<int> signal{0};
};

ConsoleControl& TheConsoleControl() {
  static ConsoleControl control;
  return control;
}

BOOL WINAPI OnConsoleControl(DWORD type) {
  ConsoleControl& control = TheConsoleControl();
  const HANDLE event = control.event.load();
  if (event == nullptr) return FALSE;
  control.signal.store(type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT ? SIGINT : SIGTERM);
  ::SetEvent(event);
  // The system ends the process when this routine returns from a close,
  // log-off or shut-down event: give the handler time to end the jobs.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
    ::Sleep(5000);
  return TRUE;
}

}  // namespace

void BlockInterruptSignals() {}

void BlockBrokenPipeSignal() {}

int InterruptWatcher::Start(Handler handler) {
  signals_.Reset(FromHandle(::CreateEventW(nullptr, FALSE, FALSE, nullptr)));
  stopRead_.Reset(FromHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  if (!signals_ || !stopRead_) return static_cast<int>(::GetLastError());
  handler_ = std::move(handler);
  TheConsoleControl().event.store(AsHandle(signals_.get()));
  if (!::SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
    TheConsoleControl().event.store(nullptr);
    return static_cast<int>(::GetLastError());
  }
  thread_ = std::thread([this] { Run(); });
  return 0;
}

void InterruptWatcher::Run() {
  const HANDLE waits[2] = {AsHandle(signals_.get()), AsHandle(stopRead_.get())};
  for (;;) {
    const DWORD which = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (which != WAIT_OBJECT_0) return;
    handler_(TheConsoleControl().signal.load());
  }
}

InterruptWatcher::~InterruptWatcher() {
  if (!thread_.joinable()) return;
  ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  TheConsoleControl().event.store(nullptr);
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
    return;
  }
  ::SetEvent(AsHandle(stopRead_.get()));
  thread_.join();
}

}  // namespace kestrun
