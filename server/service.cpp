#include "server/service.h"

#include <cerrno>
#include <cstdio>
#include <optional>
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
// so any byte below 0x20 and DEL are refused outright (a service command
// line of the Windows manager has no use for them either).
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

// The service as both kinds of manager install it; a unit folder named in
// KESTRUN_UNIT_DIR takes the place of systemd's own.
ServiceDefinition KestrunService(const std::string& homeDirectory,
                                 const std::string& programFileName) {
  ServiceDefinition service;
  service.name = kServiceName;
  service.displayName = kServiceDisplayName;
  service.description = kServiceDescription;
  service.program = homeDirectory + "/" + programFileName;
  service.argument = "-StartService";
  service.unitText = ServiceUnitText(homeDirectory, programFileName);
  if (std::optional<std::string> dir = GetEnvLocked("KESTRUN_UNIT_DIR"); dir && !dir->empty())
    service.unitFolder = *dir;
  return service;
}

// The web console's PAM service (webpamservice = kestrun): the system's own
// password and account rules.
constexpr const char* kPamServiceText =
    "# PAM service of the Kestrun web console (webpamservice = kestrun).\n"
    "@include common-auth\n"
    "@include common-account\n";

// Writes /etc/pam.d/kestrun (KESTRUN_PAM_DIR: another folder) when the
// system has that folder and no such file; an existing file is the
// administrator's and stays as it is.
void InstallPamService() {
  const std::string dir = GetEnvLocked("KESTRUN_PAM_DIR").value_or("/etc/pam.d");
  const std::optional<FileStatus> status = GetFileStatus(dir);
  if (!status || status->isRegular) return;
  const std::string path = dir + "/kestrun";
  int error = 0;
  const UniqueFd folder = OpenDirectory(dir, &error);
  if (folder && CreateFileInDirectory(folder, "kestrun", &error)) {
    error = AppendToFile(path, kPamServiceText);
    if (error != 0) RemoveFile(path);  // never leave half a PAM service behind
  }
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
  const ServiceChange change = InstallSystemService(KestrunService(homeDirectory, programFileName));
  const std::string subject = EscapeControlCharacters(change.subject);
  switch (change.step) {
    case ServiceStep::kDone:
      InstallPamService();
      return;
    case ServiceStep::kNoManager:
      std::fputs("Could not add service\n", stdout);
      return;
    case ServiceStep::kCreateFailed:
      std::fputs("CreateService failed.\n", stdout);
      return;
    case ServiceStep::kNoUnitFolder:
    case ServiceStep::kUnitFolderIsFile:
      std::fprintf(
          stderr, "Could not add service: the unit folder \"%s\" %s\n", subject.c_str(),
          change.step == ServiceStep::kUnitFolderIsFile ? "is not a folder" : "does not exist");
      break;
    default:
      std::fprintf(stderr, "Could not add service: cannot write \"%s\": %s\n", subject.c_str(),
                   SystemErrorText(change.error).c_str());
      break;
  }
  ExitProcess(1);
}

void UninstallService() {
  switch (RemoveSystemService(KestrunService("", "")).step) {
    case ServiceStep::kDone:
      return;
    case ServiceStep::kNotInstalled:
      std::fputs("Could not open the Kestrun Service\n", stdout);
      return;
    case ServiceStep::kDeleteFailed:
      std::fputs("Failed to delete the Kestrun Service\n", stdout);
      return;
    default:
      std::fputs("Could not remove service\n", stdout);
      return;
  }
}

void RunAsService(ServerProcess& process, const std::string& argv0) {
  const ServiceDefinition service = KestrunService(process.homeDirectory, ProgramFileName(argv0));
  RunUnderServiceManager(
      service,
      [&process, argv0] {
        process.underServiceManager = true;
        // The service's own arguments: none beyond the program, so it serves.
        StartServer(process, {argv0});
      },
      // The Windows manager waits for its control handler to return; the
      // dispatcher then lets go of the process, which main ends.
      [&process] { StopService(process); });
}

bool StopService(ServerProcess& process) {
  LogMessage(process.config, "Kestrun Service Shutting Down");
  StopWebConsole(process);
  if (process.history) process.history->NoteEndAll(history::kEndedByServiceStop);
  const int killed = process.runningJobs.KillAllRunningJobs(
      [&](const std::string& line) { LogMessage(process.config, "%s", line.c_str()); });
  if (const int error = ReportServiceStopped(); error != 0) {
    LogMessage(process.config, "Failed to stop service, error=%d", error);
    return false;
  }
  // The killed programs get time to end before the process goes.
  if (killed > 0) SleepMilliseconds(2000);
  LogMessage(process.config, "Kestrun Service Shut Down");
  return true;
}

std::string ProgramFileName(const std::string& argv0) {
  const size_t cut = argv0.find_last_of("/\\");
  return cut == std::string::npos ? argv0 : argv0.substr(cut + 1);
}

}  // namespace kestrun
