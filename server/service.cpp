#include "server/service.h"

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "base/environment.h"
#include "base/log.h"
#include "base/safe_format.h"
#include "platform/error_text.h"
#include "platform/filesystem.h"
#include "platform/job_files.h"
#include "platform/service_manager.h"
#include "platform/thread.h"
#include "server/server_process.h"

namespace kestrun {

namespace {

constexpr const char* kSystemUnitDirectory = "/etc/systemd/system";

struct UnitDirectory {
  std::string path;
  bool system = false;  // the real systemd directory: reload and enable there
};

UnitDirectory UnitDirectoryInUse() {
  if (std::optional<std::string> dir = GetEnvLocked("KESTRUN_UNIT_DIR"); dir && !dir->empty())
    return {*dir, false};
  return {kSystemUnitDirectory, true};
}

// One ExecStart word: systemd expands "%" specifiers and "$" variables and
// splits at blanks, so those are escaped and the word quoted.
std::string ExecWord(const std::string& text) {
  std::string word = "\"";
  for (char c : text) {
    if (c == '%')
      word += "%%";
    else if (c == '$')
      word += "$$";
    else if (c == '"' || c == '\\')
      word += std::string("\\") + c;
    else
      word += c;
  }
  return word + "\"";
}

// A unit file is line-based and systemd reads its own escapes in values:
// a line feed in the program's path would end the ExecStart line and start a
// directive of the path's choosing. Quoting cannot carry such bytes safely,
// so any byte below 0x20 and DEL are refused outright.
bool HasControlByte(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

}  // namespace

std::string ServiceUnitText(const std::string& homeDirectory, const std::string& programFileName) {
  return std::string("[Unit]\nDescription=") + kServiceDescription +
         "\nAfter=network-online.target\nWants=network-online.target\n\n[Service]\nType="
         "notify\nExecStart=" +
         ExecWord(homeDirectory + "/" + programFileName) +
         " -StartService\nRestart=no\n\n[Install]\nWantedBy=multi-user.target\n";
}

namespace {

// The web console's PAM service (webpamservice = kestrun): the system's own
// password and account rules.
constexpr const char* kPamServiceText =
    "# PAM service of the Kestrun web console (webpamservice = kestrun).\n"
    "@include common-auth\n"
    "@include common-account\n";

// Writes /etc/pam.d/kestrun (KESTRUN_PAM_DIR: another folder) when there is
// none; an existing file is the administrator's and stays as it is.
void InstallPamService() {
  const std::string dir = GetEnvLocked("KESTRUN_PAM_DIR").value_or("/etc/pam.d");
  const std::string path = dir + "/kestrun";
  const int error = CreateNewFile(path, kPamServiceText);
  if (error != 0 && error != EEXIST)
    std::fprintf(stderr, "WARNING: could not write the PAM service \"%s\": %s\n",
                 EscapeControlCharacters(path).c_str(), SystemErrorText(error).c_str());
}

}  // namespace

void InstallService(const std::string& homeDirectory, const std::string& programFileName) {
  const std::string program = homeDirectory + "/" + programFileName;
  if (HasControlByte(program)) {
    std::fprintf(stderr,
                 "Could not add service: the program's path \"%s\" holds a control character\n",
                 EscapeControlCharacters(program).c_str());
    ExitProcess(1);
  }
  const UnitDirectory dir = UnitDirectoryInUse();
  const std::optional<FileStatus> status = GetFileStatus(dir.path);
  if (!status || status->isRegular) {
    std::fprintf(stderr, "Could not add service: the unit folder \"%s\" %s\n",
                 EscapeControlCharacters(dir.path).c_str(),
                 status ? "is not a folder" : "does not exist");
    ExitProcess(1);
  }
  InstallPamService();
  const std::string unit = dir.path + "/" + kServiceUnitName;
  const int error = CreateNewFile(unit, ServiceUnitText(homeDirectory, programFileName));
  if (error == EEXIST) {
    std::fputs("CreateService failed.\n", stdout);
    return;
  }
  if (error != 0) {
    std::fprintf(stderr, "Could not add service: cannot write \"%s\": %s\n",
                 EscapeControlCharacters(unit).c_str(), SystemErrorText(error).c_str());
    ExitProcess(1);
  }
  if (dir.system && ServiceManagerRunning()) {
    RunServiceControl({"daemon-reload"});
    RunServiceControl({"enable", kServiceUnitName});
  }
}

void UninstallService() {
  const UnitDirectory dir = UnitDirectoryInUse();
  const std::optional<FileStatus> status = GetFileStatus(dir.path);
  if (!status || status->isRegular) {
    std::fputs("Could not remove service\n", stdout);
    return;
  }
  const std::string unit = dir.path + "/" + kServiceUnitName;
  if (!GetFileStatus(unit)) {
    std::fputs("Could not open the Kestrun Service\n", stdout);
    return;
  }
  if (dir.system && ServiceManagerRunning()) RunServiceControl({"disable", kServiceUnitName});
  if (!RemoveFile(unit)) {
    std::fputs("Failed to delete the Kestrun Service\n", stdout);
    return;
  }
  if (dir.system && ServiceManagerRunning()) RunServiceControl({"daemon-reload"});
}

bool RunAsService(ServerProcess& process) {
  // Type=notify units get a notify socket; without one there is no service
  // manager to serve under.
  const std::optional<std::string> socket = GetEnvLocked("NOTIFY_SOCKET");
  if (!socket || socket->empty()) return false;
  process.underServiceManager = true;
  return true;
}

void StopService(ServerProcess& process) {
  LogMessage(process.config, "Kestrun Service Shutting Down");
  StopWebConsole(process);
  if (process.history) process.history->NoteEndAll(history::kEndedByServiceStop);
  const int killed = process.runningJobs.KillAllRunningJobs(
      [&](const std::string& line) { LogMessage(process.config, "%s", line.c_str()); });
  const int sent = NotifyServiceManager("STOPPING=1");
  if (sent < 0) {
    LogMessage(process.config, "Failed to stop service, error=%d", -sent);
    return;
  }
  // The killed programs get time to end before the process goes.
  if (killed > 0) SleepMilliseconds(2000);
  LogMessage(process.config, "Kestrun Service Shut Down");
  ExitProcess(0);
}

std::string ProgramFileName(const std::string& argv0) {
  const size_t cut = argv0.find_last_of("/\\");
  return cut == std::string::npos ? argv0 : argv0.substr(cut + 1);
}

}  // namespace kestrun
