// kesnotify: asks a Kestrun server (the one of this machine unless -b and -p
// name another) to show a balloon to groups, client machines or users, and
// prints each target's status.
//
// Options are carried in the tool's own environment: each option sets its
// variable and the rest of the program reads only the variables, so a job's
// KESCLIENTNODENAME and KESCLIENTUSERNAME name its client and user unless
// options replace them.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "client/client_config.h"
#include "platform/home_directory.h"
#include "protocol/socket.h"
#include "protocol/udp.h"
#include "tools/kesnotify/kesnotify.h"
#include "tools/kesnotify/tool_options.h"

namespace {

using namespace kestrun::kesnotify;

int UsageError(const std::string& message) {
  std::fprintf(stderr, "%s\n%s\n", message.c_str(), kUsage);
  return 1;
}

// The port of the kestrun.conf in `home`; exits on a missing file or a
// syntax error.
int ReadPort(const std::string& home) {
  const std::string path = home + "/kestrun.conf";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    // No desktop to show a message box on: standard error serves.
    std::fputs("Kestrun: Could not find or open config file\n", stderr);
    std::exit(1);
  }
  std::ostringstream text;
  text << in.rdbuf();
  const kestrun::client::ClientConfig read = kestrun::client::ParseClientConfig(text.str());
  if (read.syntaxErrorLine != 0) {
    std::fprintf(stderr, "Syntax error, line %d in %s\n", read.syntaxErrorLine, path.c_str());
    std::exit(1);
  }
  return read.port;
}

}  // namespace

int main(int argc, char** argv) {
  for (const char* name : {"KESTEXT", "KESICON", "KESGROUP", "KESCLIENT"}) Put(name, "");
  Put("KESHELP", "N");
  Put("KESTITLE", "");
  const std::string home = kestrun::HomeDirectory();
  if (!home.empty()) Put("KESTRUNHOME", home);

  const std::string optionError = ApplyOptions(argc, argv);
  if (!optionError.empty()) {
    std::fputs(optionError.c_str(), stderr);
    return 1;
  }
  if (const std::optional<std::string> help = Env("KESHELP"); help && (*help)[0] == 'Y') {
    std::fprintf(stderr, "\n%s\n", kUsage);
    return 1;
  }
  int32_t icon = 0;
  const std::string invalid = Validate(&icon);
  if (invalid == "Could not locate KESTRUNHOME") {
    std::fprintf(stderr, "%s\n", invalid.c_str());
    return 1;
  }
  if (!invalid.empty()) return UsageError(invalid);
  ServerChoice server;
  if (const std::string badServer = ChooseServer(&server); !badServer.empty())
    return UsageError(badServer);
  // kestrun.conf is needed only for a port that -p does not give.
  const int port = server.port ? *server.port : home.empty() ? 0 : ReadPort(home);

  if (!Env("KESTITLE")) Put("KESTITLE", DefaultTitle(server.host, kestrun::net::LocalHostName()));

  kestrun::net::StartSockets();
  std::vector<Target> targets = TargetsFromEnvironment();
  std::vector<target_notification_tag> list(targets.size());
  for (size_t k = 0; k < targets.size(); ++k) {
    list[k] = {targets[k].type, targets[k].name.c_str(), targets[k].status,
               k + 1 < targets.size() ? &list[k + 1] : nullptr};
  }
  const std::string immediate = Env("KESIMMEDIATE").value_or("");
  const std::string title = Env("KESTITLE").value_or("");
  const std::string text = Env("KESTEXT").value_or("");
  int connected = 0;
  const int result =
      SendNotificationEx(server.host.c_str(), port, list.empty() ? nullptr : list.data(), icon,
                         title.c_str(), text.c_str(), immediate[0] == 'Y', &connected);
  if (!connected) return 1;  // the connection's message is printed
  if (result != 0) {
    std::fputs("Unknown error occured\n\n", stderr);
    return 1;
  }
  const char* const kinds[] = {"", "Group", "Client", "User"};
  bool reached = false;
  for (const target_notification_tag& t : list) {
    std::printf("%s %s: %s\n", kinds[t.type], t.name, StatusWord(t.status));
    reached = reached || Reached(t.status);
  }
  return reached ? 0 : kExitNoneReached;
}
