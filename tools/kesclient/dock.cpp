#include "tools/kesclient/dock.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "client/text_escape.h"
#include "platform/error_text.h"
#include "protocol/datagram.h"
#include "protocol/messages/notify.h"
#include "protocol/udp.h"
#include "tools/kesclient/exit_status.h"
#include "tools/kesclient/requests.h"

extern char** environ;

namespace kestrun::client {

namespace {

constexpr auto kKeepaliveEvery = std::chrono::seconds(60);

const char* IconWord(int32_t icon) {
  switch (icon) {
    case 1:
      return "info";
    case 2:
      return "warning";
    case 3:
      return "error";
    default:
      return "none";
  }
}

// Docks or refreshes; the address (host order) the server answered on, or
// none when no answer came.
std::optional<uint32_t> Keepalive(const ServerAddress& server, const DockIdentity& who,
                                  int udpPort) {
  uint32_t address = 0;
  if (!Ask(server, messages::ClientKeepaliveRequest{who.user, who.node, udpPort}, nullptr,
           &address))
    return std::nullopt;
  return address;
}

void Deregister(const ServerAddress& server, const DockIdentity& who) {
  Ask(server, messages::DeregisterClientRequest{who.node, who.user});
}

// A desktop notification service is reachable when the session bus is known
// and notify-send is on the path.
bool DesktopAvailable() {
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  bool haveBus = bus != nullptr && *bus != '\0';
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); !haveBus && runtime) {
    struct stat st {};
    haveBus = ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0;
  }
  if (!haveBus) return false;
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= dirs.size();) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    if (::access((dirs.substr(at, end - at) + "/notify-send").c_str(), X_OK) == 0) return true;
    at = end + 1;
  }
  return false;
}

// The notification service reads the body as markup: a text from the network
// shows its "<", ">" and "&" as they are instead of making links or styles.
std::string MarkupEscaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Runs notify-send with the balloon (no shell sees the texts, whose control
// characters are already escaped); false when it could not be run or failed.
bool ShowOnDesktop(const Balloon& b) {
  static const char* const kIcons[] = {nullptr, "dialog-information", "dialog-warning",
                                       "dialog-error"};
  std::vector<std::string> args = {"notify-send", "--app-name=Kestrun"};
  if (b.icon >= 1 && b.icon <= 3) args.push_back(std::string("--icon=") + kIcons[b.icon]);
  if (b.immediate) args.push_back("--urgency=critical");
  args.push_back("--");
  args.push_back(b.title.empty() ? "Kestrun" : b.title);
  args.push_back(MarkupEscaped(b.text));
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "notify-send", nullptr, nullptr, argv.data(), environ) != 0)
    return false;
  int status = 0;
  pid_t done;
  do {
    done = ::waitpid(pid, &status, 0);
  } while (done < 0 && errno == EINTR);
  return done == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Show(const Datagram& d, bool desktop) {
  if (d.kind == kBalloonDatagram) {
    // Neither the terminal nor the desktop sees a raw control character.
    Balloon shown = d.balloon;
    shown.title = EscapeControlCharacters(shown.title);
    shown.text = EscapeControlCharacters(shown.text);
    if (desktop && ShowOnDesktop(shown)) return;
    std::printf("balloon [%s]%s %s: %s\n", IconWord(shown.icon), shown.immediate ? " (now)" : "",
                shown.title.c_str(), shown.text.c_str());
  } else {
    std::printf("job %s\n", d.kind == kJobStartedDatagram ? "started" : "stopped");
  }
  std::fflush(stdout);
}

// Owns the descriptor of the signal events; closes it once.
class SignalEvents {
 public:
  explicit SignalEvents(const sigset_t& signals) : fd_(::signalfd(-1, &signals, SFD_CLOEXEC)) {}
  ~SignalEvents() {
    if (fd_ >= 0) ::close(fd_);
  }
  SignalEvents(const SignalEvents&) = delete;
  SignalEvents& operator=(const SignalEvents&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct DockOptions {
  bool print = false;
  int port = 0;
  std::vector<uint32_t> accepted;  // --accept addresses, host order
  bool ok = true;
};

DockOptions ParseDockOptions(const std::vector<std::string>& args, bool forDock) {
  DockOptions o;
  for (size_t k = 0; k < args.size(); ++k) {
    if (forDock && args[k] == "--print") {
      o.print = true;
    } else if (forDock && args[k] == "--accept" && k + 1 < args.size()) {
      const std::string& host = args[++k];
      if (const std::optional<uint32_t> address = net::ResolveIPv4(host)) {
        o.accepted.push_back(*address);
      } else {
        std::fprintf(stderr, "kesclient: --accept: unknown host %s\n", host.c_str());
        o.ok = false;
      }
    } else if (args[k] == "--port" && k + 1 < args.size()) {
      o.port = std::atoi(args[++k].c_str());
    } else {
      std::fprintf(stderr, "kesclient: unknown argument %s\n", args[k].c_str());
      o.ok = false;
    }
  }
  return o;
}

}  // namespace

int DockCommand(const ServerAddress& server, const DockIdentity& who,
                const std::vector<std::string>& args) {
  const DockOptions options = ParseDockOptions(args, true);
  if (!options.ok) return kExitClientFailure;
  // Signals become readable events, so Ctrl+C undocks before leaving.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const SignalEvents signalEvents(signals);
  int port = options.port;
  int error = 0;
  std::optional<DatagramSocket> socket = DatagramSocket::Bind(0, &port, &error);
  if (!socket || signalEvents.get() < 0) {
    std::fprintf(stderr, "kesclient: cannot listen on UDP port %d: %s\n", port,
                 SystemErrorText(error).c_str());
    return kExitClientFailure;
  }
  const std::optional<uint32_t> serverAddress = Keepalive(server, who, port);
  if (!serverAddress) {
    std::fprintf(stderr, "kesclient: no answer from %s:%d\n", server.host.c_str(), server.port);
    return kExitClientFailure;
  }
  // Anyone can send a datagram to the port: only those from the address the
  // client docked at (and from --accept addresses) are shown. The server
  // sends each from a fresh unbound socket, so its source port tells nothing.
  std::vector<uint32_t> accepted = options.accepted;
  accepted.push_back(*serverAddress);
  bool ignoredOne = false;
  const bool desktop = !options.print && DesktopAvailable();
  std::printf("docked as %s@%s, listening on UDP port %d\n", who.user.c_str(), who.node.c_str(),
              port);
  std::fflush(stdout);

  auto nextKeepalive = std::chrono::steady_clock::now() + kKeepaliveEvery;
  std::vector<uint8_t> area(kMaxDatagramSize + 1);
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextKeepalive) {
      // A missed keepalive is retried at the next one; the server forgets a
      // client only after three minutes of silence.
      Keepalive(server, who, port);
      nextKeepalive = now + kKeepaliveEvery;
      continue;
    }
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(nextKeepalive - now).count() + 1;
    pollfd fds[2] = {{socket->get(), POLLIN, 0}, {signalEvents.get(), POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(wait)) <= 0) continue;
    if (fds[1].revents != 0) break;
    uint32_t sender = 0;
    const long n = socket->ReceiveFrom(area.data(), area.size(), std::chrono::milliseconds(0),
                                       &error, &sender);
    if (n <= 0) continue;
    if (std::find(accepted.begin(), accepted.end(), sender) == accepted.end()) {
      if (!ignoredOne) {
        // Said once, so that a flood of forged datagrams cannot flood the
        // terminal either.
        std::fprintf(stderr,
                     "kesclient: ignoring datagrams from %u.%u.%u.%u (not the server; a relay "
                     "server needs --accept)\n",
                     sender >> 24, (sender >> 16) & 0xFF, (sender >> 8) & 0xFF, sender & 0xFF);
        ignoredOne = true;
      }
      continue;
    }
    if (const std::optional<Datagram> d =
            DecodeDatagram(std::span<const uint8_t>(area.data(), static_cast<size_t>(n)))) {
      Show(*d, desktop);
    }
  }
  Deregister(server, who);
  std::puts("undocked");
  return 0;
}

int MenuCommand(const ServerAddress& server, const DockIdentity& who,
                const std::vector<std::string>& args) {
  const DockOptions options = ParseDockOptions(args, false);
  if (!options.ok) return kExitClientFailure;
  std::optional<XDRWRAP> reply =
      Ask(server, messages::GetJobsForUserRequest{who.node, who.user, options.port});
  std::vector<messages::TrayMenuItem> items;
  try {
    if (!reply) throw DecodeFailure("no menu");
    items = messages::GetJobsForUserReply::Decode(*reply).items;
  } catch (const DecodeFailure&) {
    std::fprintf(stderr, "kesclient: no answer from %s:%d\n", server.host.c_str(), server.port);
    return kExitClientFailure;
  }
  for (const messages::TrayMenuItem& item : items) {
    std::printf("%s\t%s\n", EscapeControlCharacters(item.jobName).c_str(),
                EscapeControlCharacters(item.menuText).c_str());
  }
  return 0;
}

}  // namespace kestrun::client
