// The kesnotify program's own logic, apart from its main: the usage text, the
// options (carried in the process environment) and the targets built from
// them. Its port comes from the kestrun.conf beside it (client/client_config.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrun::kesnotify {

// The tool's variable `name`; nullopt when unset or empty.
std::optional<std::string> Env(const char* name);

// Puts the variable into the process environment; an empty value counts as
// removing it (Env no longer sees it).
void Put(const char* name, const std::string& value);

// The usage text as printed (ends with one line feed).
extern const char* const kUsage;

// Puts the options of argv into the environment. Returns an empty text when
// all were taken, else the message for standard error ("Invalid option %s
// specified\n" or "Parameter %s requires an argument\n").
std::string ApplyOptions(int argc, const char* const* argv);

// The validation message (without line feed) for the variables as they stand,
// or empty; *icon receives the icon number when they are valid.
std::string Validate(int32_t* icon);

// Where the request goes: KESSERVER (-b), default "localhost", and KESPORT
// (-p) when set; without it the port of kestrun.conf is used.
struct ServerChoice {
  std::string host = "localhost";
  std::optional<int> port;
};

// The server the variables name. Returns an empty text, or the validation
// message (without line feed) "-p must be a port number from 1 to 65535".
std::string ChooseServer(ServerChoice* choice);

struct Target {
  int32_t type = 0;
  std::string name;
  int32_t status = 5;
};

// KESGROUP items (1), then KESCLIENTNODENAME (2), then KESCLIENTUSERNAME (3);
// empty items skipped.
std::vector<Target> TargetsFromEnvironment();

// The word printed for a target's status.
const char* StatusWord(int32_t status);

// True when the status says the balloon went to someone: 1 "okay" and 6
// "Processed" (by a relay server). A group whose members are away is still
// okay; every other status is a failure of that target.
bool Reached(int32_t status);

// The exit status when no target was reached, so that scripts see it.
constexpr int kExitNoneReached = 2;

// The balloon's title without -title: the server's host name, this
// machine's name when the server is "localhost" (`localName`).
std::string DefaultTitle(const std::string& serverHost, const std::string& localName);

}  // namespace kestrun::kesnotify
