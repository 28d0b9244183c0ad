// KestrunServer.exe and a Ctrl+C on its console: the server shuts down as on
// SIGINT, ending the run in progress and logging its stop lines.
//
// The test program takes a console of its own (FreeConsole, AllocConsole:
// under Wine a program started from a shell without a terminal has none that
// takes control events), starts the server on it, starts a run through
// kesclient.exe detached from the console (so that the Ctrl+C reaches the
// server alone), and sends CTRL_C_EVENT to every process of the console
// with GenerateConsoleCtrlEvent. Wine delivers CTRL_C_EVENT to group 0; it
// refuses CTRL_BREAK_EVENT and events for one process group.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/server_home.h"
#include "tests/windows/win_test_files.h"

namespace kestrun {
namespace {

namespace fs = std::filesystem;

using wintest::BinFolder;
using wintest::ReadText;

// The log's lines without their time stamps ("YYYY-MM-DD HH:MM:SS ").
std::vector<std::string> LogLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::stringstream in(ReadText(path));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line.size() > 20 ? line.substr(20) : line);
  }
  return lines;
}

template <typename Condition>
bool Await(Condition condition, int milliseconds = 20000) {
  for (int waited = 0; waited < milliseconds; waited += 50) {
    if (condition()) return true;
    ::Sleep(50);
  }
  return condition();
}

// Owns the handles of a started process.
struct Started {
  PROCESS_INFORMATION info{};
  ~Started() {
    if (info.hProcess == nullptr) return;
    if (::WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT)
      ::TerminateProcess(info.hProcess, 9);
    ::CloseHandle(info.hProcess);
    ::CloseHandle(info.hThread);
  }
};

// Starts `line` in `folder`; with `output`, its standard output and error go
// to that file.
bool Start(Started& process, std::wstring line, const fs::path& folder, DWORD flags,
           const fs::path* output = nullptr) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  HANDLE file = nullptr;
  if (output != nullptr) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    file = ::CreateFileW(output->c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = file;
    startup.hStdError = file;
  }
  const BOOL started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, output != nullptr,
                                        flags, nullptr, folder.c_str(), &startup, &process.info);
  if (file != nullptr) ::CloseHandle(file);
  return started != 0;
}

BOOL WINAPI IgnoreControl(DWORD type) {
  return type == CTRL_C_EVENT ? TRUE : FALSE;
}

TEST(ConsoleControl, CtrlCShutsTheServerDownEndingItsRunAndLoggingTheStop) {
  ::FreeConsole();
  ASSERT_TRUE(::AllocConsole()) << ::GetLastError();
  // This program stays: its own handler takes the Ctrl+C (a handler, not the
  // ignore flag, which the server would inherit).
  ASSERT_TRUE(::SetConsoleCtrlHandler(IgnoreControl, TRUE));

  const fs::path bin = BinFolder();
  const fs::path home = bin / ("ctrl-c-home-" + std::to_string(::GetCurrentProcessId()));
  fs::remove_all(home);
  fs::create_directories(home);
  fs::copy_file(bin / "KestrunServer.exe", home / "KestrunServer.exe");
  fs::copy_file(bin / "kes_win_child.exe", home / "kes_win_child.exe");
  const int port = test::FreePort();
  ASSERT_GT(port, 0);
  std::ofstream(home / "kestrun.conf") << "port = " << port << "\n"
                                       << "logfile = $KESTRUNHOME\\kestrun.log\n"
                                       << "history = off\n"
                                       << "Child:\n    program = $KESTRUNHOME\\kes_win_child.exe\n";
  const fs::path log = home / "kestrun.log";

  {
    Started server;
    ASSERT_TRUE(Start(server, L"\"" + (home / "KestrunServer.exe").wstring() + L"\"", home, 0));
    ASSERT_TRUE(Await([&] { return ReadText(log).find("Listening on Port") != std::string::npos; }))
        << ReadText(log);

    // A run whose program waits to be killed: its first line is its id.
    Started client;
    const fs::path out = home / "run.out";
    ASSERT_TRUE(Start(client,
                      L"\"" + (bin / "kesclient.exe").wstring() + L"\" -s 127.0.0.1 -p " +
                          std::to_wstring(port) + L" -u tester -n windows run Child tree 0",
                      home, DETACHED_PROCESS, &out));
    ASSERT_TRUE(Await([&] { return ReadText(out).find('\n') != std::string::npos; }))
        << ReadText(out);
    const DWORD childId = std::stoul(ReadText(out));
    const HANDLE child = ::OpenProcess(SYNCHRONIZE, FALSE, childId);
    ASSERT_NE(child, nullptr);

    ASSERT_TRUE(::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << ::GetLastError();
    EXPECT_EQ(::WaitForSingleObject(server.info.hProcess, 20000), WAIT_OBJECT_0);
    DWORD code = 99;
    ::GetExitCodeProcess(server.info.hProcess, &code);
    EXPECT_EQ(code, 0u);
    // The run's program was ended with the server, and its client was told.
    EXPECT_EQ(::WaitForSingleObject(child, 0), WAIT_OBJECT_0);
    ::CloseHandle(child);
    EXPECT_EQ(::WaitForSingleObject(client.info.hProcess, 20000), WAIT_OBJECT_0);

    // The stop lines follow the start line, as for SIGINT on Linux.
    const std::string program = (home / "kes_win_child.exe").string();
    const std::vector<std::string> want = {
        "Kestrun Server Starts, Listening on Port " + std::to_string(port),
        "tester@windows invoking job \"CHILD\"",
        "tester@windows Executing Script \"" + program + "\"",
        "Shutting Down Kestrun (SIGINT)",
        "Killing Running Kestrun Job \"CHILD\"",
        "tester@windows Script \"" + program + "\" exits code 1",
        "Kestrun Server Shut Down"};
    std::vector<std::string> lines = LogLines(log);
    if (!lines.empty() && lines.front().rfind("Created the job log folder", 0) == 0)
      lines.erase(lines.begin());
    EXPECT_EQ(lines, want) << ReadText(log);
  }
  ::SetConsoleCtrlHandler(IgnoreControl, FALSE);
  std::error_code ignored;
  fs::remove_all(home, ignored);
}

}  // namespace
}  // namespace kestrun
