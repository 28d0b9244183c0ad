#include "tools/kesnotify/tool_options.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/this_process.h"

namespace kestrun::kesnotify {

const char* const kUsage =
    "USAGE: kesnotify <options...>\n"
    "Where <options> are:\n"
    "-b <servername>      KESSERVER   Optional. Server Name of Kestrun Server.\n"
    "-p <port number>     KESPORT     Optional. Port Number on which server is\n"
    "                                 listening. Taken from kestrun.conf if not\n"
    "                                 specified.\n"
    "-title <title>       KESTITLE    Optional. Title to use on the notification\n"
    "                                 balloon. Defaults to the hostname of the\n"
    "                                 Kestrun server if not specified.\n"
    "-icon <icontype>     KESICON     Optional. Icon to use in the balloon.\n"
    "-group <groupname>   KESGROUP    Mandatory (unless -client or -user is used).\n"
    "                                 Group to which the notification should be sent.\n"
    "                                 Server needs to have a \"Group Processor\"\n"
    "                                 specified in order for Kestrun to calculate\n"
    "                                 which users should be notified.\n"
    "-client <clientname> KESCLIENTNODENAME\n"
    "                                 Optional (unless -group and -user are not\n"
    "                                 specified). Client to which the notification\n"
    "                                 should be sent. Note, if more than one user is\n"
    "                                 logged into the client then the notification\n"
    "                                 will appear for each user (unless -user is also\n"
    "                                 specified.\n"
    "-user <username>     KESCLIENTUSERNAME\n"
    "                                 Optional (unless -group and -client are not\n"
    "                                 specified. User to which the notification\n"
    "                                 should be sent. If the user is logged on at\n"
    "                                 more than one client then the notification is\n"
    "                                 sent to all locations unless -client is also\n"
    "                                 specified.\n"
    "-text <text>         KESTEXT     Mandatory. Text to include in the balloon\n"
    "                                 notification.\n"
    "-now                             Displays the balloon immediately rather than\n"
    "                                 queuing it for display after any existing\n"
    "                                 notifications.\n"
    "\n"
    "<icontype> can be one of:\n"
    "                                 none      - No Icon (default)\n"
    "                                 warning   - Warning Icon\n"
    "                                 error     - Error Icon\n"
    "                                 info      - Information Icon\n";

std::optional<std::string> Env(const char* name) {
  std::optional<std::string> value = ReadProcessVariable(name);
  if (value && value->empty()) return std::nullopt;
  return value;
}

void Put(const char* name, const std::string& value) {
  WriteProcessVariable(std::string(name) + "=" + value);
}

namespace {

// ASCII letters compared without case, as the icon names are.
bool EqualsNoCase(const std::string& a, const char* b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return i == a.size() && b[i] == '\0';
}

struct Option {
  const char* name;
  const char* variable;
  bool takesArgument;
};

constexpr Option kOptions[] = {
    {"-p", "KESPORT", true},
    {"-b", "KESSERVER", true},
    {"-title", "KESTITLE", true},
    {"-text", "KESTEXT", true},
    {"-icon", "KESICON", true},
    {"-group", "KESGROUP", true},
    {"-client", "KESCLIENTNODENAME", true},
    {"-user", "KESCLIENTUSERNAME", true},
    {"-now", "KESIMMEDIATE", false},
    {"-h", "KESHELP", false},
};

}  // namespace

std::string ApplyOptions(int argc, const char* const* argv) {
  for (int i = 1; i < argc && argv[i][0] == '-'; ++i) {
    const Option* option = nullptr;
    for (const Option& o : kOptions) {
      if (std::strcmp(o.name, argv[i]) == 0) option = &o;
    }
    if (option == nullptr) return std::string("Invalid option ") + argv[i] + " specified\n";
    if (!option->takesArgument) {
      Put(option->variable, "Y");
      continue;
    }
    if (i + 1 >= argc || argv[i + 1][0] == '-')
      return std::string("Parameter ") + argv[i] + " requires an argument\n";
    Put(option->variable, argv[++i]);
  }
  return "";
}

std::string Validate(int32_t* icon) {
  if (!Env("KESTRUNHOME")) return "Could not locate KESTRUNHOME";
  if (!Env("KESTEXT")) return "-text is a mandatory field";
  if (!Env("KESGROUP") && !Env("KESCLIENTNODENAME") && !Env("KESCLIENTUSERNAME"))
    return "One of -group, -client or -user must be specified";
  *icon = 0;
  if (const std::optional<std::string> name = Env("KESICON")) {
    if (EqualsNoCase(*name, "none")) {
      *icon = 0;
    } else if (EqualsNoCase(*name, "warning")) {
      *icon = 2;
    } else if (EqualsNoCase(*name, "info")) {
      *icon = 1;
    } else if (EqualsNoCase(*name, "error")) {
      *icon = 3;
    } else {
      return "-icon must be one of none, warning, info or error";
    }
  }
  return "";
}

std::string ChooseServer(ServerChoice* choice) {
  if (const std::optional<std::string> host = Env("KESSERVER")) choice->host = *host;
  const std::optional<std::string> port = Env("KESPORT");
  if (!port) return "";
  char* end = nullptr;
  const long number = std::strtol(port->c_str(), &end, 10);
  if (*end != '\0' || number < 1 || number > 65535)
    return "-p must be a port number from 1 to 65535";
  choice->port = static_cast<int>(number);
  return "";
}

std::vector<Target> TargetsFromEnvironment() {
  std::vector<Target> targets;
  const std::pair<const char*, int32_t> sources[] = {
      {"KESGROUP", 1}, {"KESCLIENTNODENAME", 2}, {"KESCLIENTUSERNAME", 3}};
  for (const auto& [variable, type] : sources) {
    std::istringstream items(Env(variable).value_or(""));
    for (std::string item; std::getline(items, item, ',');) {
      if (!item.empty()) targets.push_back({type, item, 5});
    }
  }
  return targets;
}

const char* StatusWord(int32_t status) {
  switch (status) {
    case 1:
      return "okay";
    case 2:
      return "client not found";
    case 3:
      return "user not found";
    case 4:
      return "Group does not exist or has no members";
    case 5:
      return "Not processed";
    case 6:
      return "Processed";
    default:
      return "Unknown";
  }
}

bool Reached(int32_t status) {
  return status == 1 || status == 6;
}

std::string DefaultTitle(const std::string& serverHost, const std::string& localName) {
  if (serverHost.empty() || serverHost == "localhost" || serverHost == "127.0.0.1")
    return localName;
  return serverHost;
}

}  // namespace kestrun::kesnotify
