// Windows: programs start with CreateProcessW from one command line quoted by
// the rules of CommandLineToArgvW (windows_command_line.h), so the program's
// C runtime reads back the argument vector it was given. The three standard
// handles are the only handles the child inherits: they are named in
// PROC_THREAD_ATTRIBUTE_HANDLE_LIST, so a handle another thread is handing
// to another run at the same moment never leaks into this one. The
// environment block is UTF-16.
//
// Every child is created suspended, put in a job object of its own, and only
// then resumed (or left held until Process::Resume): whatever it starts is
// in the same job, which a kill ends as a whole (process_tree_win32.cpp).
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/process.h"
#include "platform/run_jobs_win32.h"
#include "platform/wide_win32.h"
#include "platform/windows_command_line.h"

namespace kestrun {

RunJobs& TheRunJobs() {
  // Process-wide by nature, as the system's process list it indexes.
  static RunJobs jobs;
  return jobs;
}

namespace {

void ListJob(ProcessId pid, HANDLE job) {
  RunJobs& runs = TheRunJobs();
  std::lock_guard guard(runs.lock);
  runs.jobs[pid] = job;
}

void UnlistJob(ProcessId pid, HANDLE job) {
  RunJobs& runs = TheRunJobs();
  std::lock_guard guard(runs.lock);
  const auto it = runs.jobs.find(pid);
  if (it != runs.jobs.end() && it->second == job) runs.jobs.erase(it);
}

bool HasPathSeparator(const std::string& path) {
  return path.find_first_of("\\/:") != std::string::npos;
}

bool EndsWithIgnoringCase(const std::string& text, const char* suffix) {
  const size_t n = std::strlen(suffix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[text.size() - n + i])) != suffix[i])
      return false;
  }
  return true;
}

bool IsFile(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(Widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring SystemDirectory() {
  wchar_t dir[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(dir, MAX_PATH);
  return std::wstring(dir, n < MAX_PATH ? n : 0);
}

// The UTF-16 environment block: NAME=value entries each ended by a NUL, one
// more NUL after the last (two for an empty block).
std::wstring EnvironmentBlock(const std::vector<std::string>& environment) {
  std::wstring block;
  for (const std::string& entry : environment) {
    if (entry.empty()) continue;
    block += Widen(entry);
    block += L'\0';
  }
  if (block.empty()) block += L'\0';
  block += L'\0';
  return block;
}

// What CreateProcessW is given: the file it runs (none: the command line's
// first element, for batch files, which the system hands to cmd.exe) and
// the command line.
struct CommandLine {
  std::wstring application;
  std::wstring line;
};

CommandLine CommandLineOf(const std::string& program, const std::vector<std::string>& arguments) {
  std::string line = QuoteWindowsProgram(arguments.empty() ? program : arguments[0]);
  for (size_t i = 1; i < arguments.size(); ++i) line += ' ' + QuoteWindowsArgument(arguments[i]);
  CommandLine command;
  if (EndsWithIgnoringCase(program, ".vbs") || EndsWithIgnoringCase(program, ".js")) {
    // Scripts run in the console script host.
    const std::wstring host = SystemDirectory() + L"\\cscript.exe";
    command.application = host;
    command.line = L"\"" + host + L"\" /nologo " + Widen(QuoteWindowsProgram(program));
    for (size_t i = 1; i < arguments.size(); ++i)
      command.line += L' ' + Widen(QuoteWindowsArgument(arguments[i]));
    return command;
  }
  if (!EndsWithIgnoringCase(program, ".bat") && !EndsWithIgnoringCase(program, ".cmd"))
    command.application = Widen(program);
  command.line = Widen(line);
  return command;
}

// Inheritable copies of the child's standard handles, closed when done.
// kInvalidFile becomes the NUL device, so the child never finds a hole.
class InheritedHandles {
 public:
  ~InheritedHandles() {
    for (HANDLE h : handles_) ::CloseHandle(h);
  }
  // 0 or the system's error code.
  int Add(FileHandle given) {
    HANDLE source = AsHandle(given);
    UniqueFd nul;
    if (given == kInvalidFile) {
      SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
      nul.Reset(FromHandle(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                                         nullptr)));
      if (!nul) return static_cast<int>(::GetLastError());
      source = AsHandle(nul.get());
    }
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), source, ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS))
      return static_cast<int>(::GetLastError());
    handles_.push_back(copy);
    return 0;
  }
  HANDLE operator[](size_t i) const { return handles_[i]; }
  std::vector<HANDLE>& all() { return handles_; }

 private:
  std::vector<HANDLE> handles_;
};

// The attribute list that names the inherited handles.
class HandleListAttribute {
 public:
  explicit HandleListAttribute(std::vector<HANDLE>& handles) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!::InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
      error_ = static_cast<int>(::GetLastError());
      list_ = nullptr;
      return;
    }
    if (!::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                     handles.size() * sizeof(HANDLE), nullptr, nullptr))
      error_ = static_cast<int>(::GetLastError());
  }
  ~HandleListAttribute() {
    if (list_) ::DeleteProcThreadAttributeList(list_);
  }
  HandleListAttribute(const HandleListAttribute&) = delete;
  HandleListAttribute& operator=(const HandleListAttribute&) = delete;
  int error() const { return error_; }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
  int error_ = 0;
};

}  // namespace

int ExitCodeOf(const ProcessEnd& end, bool killedByServer) {
  if (end.waitError != 0) return -1;
  if (!end.signaled) return end.code;
  return killedByServer ? 1 : 128 + end.code;
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      reaped_(std::exchange(other.reaped_, false)),
      handle_(std::move(other.handle_)),
      job_(std::move(other.job_)),
      suspendedThread_(std::move(other.suspendedThread_)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    KillAndReap();
    pid_ = std::exchange(other.pid_, -1);
    reaped_ = std::exchange(other.reaped_, false);
    handle_ = std::move(other.handle_);
    job_ = std::move(other.job_);
    suspendedThread_ = std::move(other.suspendedThread_);
  }
  return *this;
}

Process::~Process() {
  KillAndReap();
}

void Process::KillAndReap() {
  if (pid_ <= 0 || reaped_) return;
  if (job_) {
    ::TerminateJobObject(AsHandle(job_.get()), 1);
  } else if (handle_) {
    ::TerminateProcess(AsHandle(handle_.get()), 1);
  }
  Reap();
}

ProcessEnd Process::WaitForEnd() {
  if (!handle_) {
    // A Process made from an id: its handle is taken now.
    handle_.Reset(FromHandle(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                           static_cast<DWORD>(pid_))));
    if (!handle_) return {false, 0, static_cast<int>(::GetLastError())};
  }
  if (::WaitForSingleObject(AsHandle(handle_.get()), INFINITE) != WAIT_OBJECT_0)
    return {false, 0, static_cast<int>(::GetLastError())};
  DWORD code = 0;
  if (!::GetExitCodeProcess(AsHandle(handle_.get()), &code))
    return {false, 0, static_cast<int>(::GetLastError())};
  return {false, static_cast<int>(code)};
}

ProcessEnd Process::Reap() {
  if (pid_ <= 0 || reaped_) return {};
  const ProcessEnd end = WaitForEnd();
  reaped_ = true;
  if (job_) UnlistJob(pid_, AsHandle(job_.get()));
  // Closing the job handle ends nothing: like a Linux run's background
  // programs, processes still in the job keep running.
  job_.Reset();
  suspendedThread_.Reset();
  handle_.Reset();
  return end;
}

int Process::Resume() {
  if (!suspendedThread_) return 0;
  const DWORD rc = ::ResumeThread(AsHandle(suspendedThread_.get()));
  suspendedThread_.Reset();
  return rc == static_cast<DWORD>(-1) ? static_cast<int>(::GetLastError()) : 0;
}

bool SignalProcess(ProcessId pid, int signal) {
  if (pid <= 0) return false;
  UniqueFd process(FromHandle(::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                                            FALSE, static_cast<DWORD>(pid))));
  if (!process) return false;
  DWORD code = 0;
  if (!::GetExitCodeProcess(AsHandle(process.get()), &code) || code != STILL_ACTIVE) return false;
  // Signal 0 asks only whether the process exists. Windows has no other
  // signals for console programs: every signal ends the process, with the
  // exit code a killed run reports.
  return signal == 0 || ::TerminateProcess(AsHandle(process.get()), 1);
}

size_t ArgumentSpaceLimit() {
  // The command line may take 32767 UTF-16 units; the environment block has
  // no fixed limit. A generous bound for both together keeps a request from
  // taking the server's memory; CreateProcessW refuses a line too long.
  return size_t{4} * 1024 * 1024;
}

std::string_view DefaultSearchPath() {
  return "C:\\Windows\\system32;C:\\Windows";
}

std::optional<std::string> FindProgram(const std::string& name, std::string_view path, int* error) {
  if (path.empty()) path = DefaultSearchPath();
  // The name as given first, then with the extensions Windows runs.
  static constexpr const char* kExtensions[] = {"", ".exe", ".com", ".bat", ".cmd"};
  for (;;) {
    const size_t semicolon = path.find(';');
    const std::string_view dir = path.substr(0, semicolon);
    if (!dir.empty()) {
      for (const char* extension : kExtensions) {
        std::string candidate = std::string(dir) + "\\" + name + extension;
        if (IsFile(candidate)) return candidate;
      }
    }
    if (semicolon == std::string_view::npos) break;
    path.remove_prefix(semicolon + 1);
  }
  *error = ERROR_FILE_NOT_FOUND;
  return std::nullopt;
}

std::optional<Process> LaunchProcess(const LaunchOptions& options, int* error) {
  std::string program = options.program;
  if (!HasPathSeparator(program)) {
    std::optional<std::string> found = FindProgram(program, options.searchPath, error);
    if (!found) return std::nullopt;
    program = *found;
  }
  const CommandLine command = CommandLineOf(program, options.arguments);
  std::wstring line = command.line;  // CreateProcessW may write into it
  std::wstring environment = EnvironmentBlock(options.environment);

  InheritedHandles handles;
  for (size_t i = 0; i < 3; ++i) {
    const FileHandle given = i < options.descriptors.size() ? options.descriptors[i] : kInvalidFile;
    if (const int failure = handles.Add(given)) {
      *error = failure;
      return std::nullopt;
    }
  }
  HandleListAttribute attribute(handles.all());
  if (attribute.error()) {
    *error = attribute.error();
    return std::nullopt;
  }

  UniqueFd job(FromHandle(::CreateJobObjectW(nullptr, nullptr)));
  if (!job) {
    *error = static_cast<int>(::GetLastError());
    return std::nullopt;
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  startup.StartupInfo.hStdInput = handles[0];
  startup.StartupInfo.hStdOutput = handles[1];
  startup.StartupInfo.hStdError = handles[2];
  startup.lpAttributeList = attribute.get();
  // A console of its own, without a window: the child does not share the
  // server's console, so a Ctrl+C typed there reaches the server alone.
  const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED |
                      CREATE_NO_WINDOW;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(command.application.empty() ? nullptr : command.application.c_str(),
                        line.data(), nullptr, nullptr, TRUE, flags, environment.data(), nullptr,
                        &startup.StartupInfo, &info)) {
    *error = static_cast<int>(::GetLastError());
    return std::nullopt;
  }
  Process process(static_cast<ProcessId>(info.dwProcessId));
  process.handle_.Reset(FromHandle(info.hProcess));
  UniqueFd thread(FromHandle(info.hThread));
  if (!::AssignProcessToJobObject(AsHandle(job.get()), info.hProcess)) {
    *error = static_cast<int>(::GetLastError());
    ::TerminateProcess(info.hProcess, 1);
    process.Reap();
    return std::nullopt;
  }
  ListJob(process.pid_, AsHandle(job.get()));
  process.job_ = std::move(job);
  if (options.holdBeforeExec) {
    process.suspendedThread_ = std::move(thread);
  } else if (::ResumeThread(AsHandle(thread.get())) == static_cast<DWORD>(-1)) {
    *error = static_cast<int>(::GetLastError());
    return std::nullopt;  // the owner's destructor ends the held child
  }
  return process;
}

bool BecomeChildSubreaper() {
  // Not needed on Windows: a run's job object holds every process it
  // starts, whatever becomes of their parents.
  return true;
}

int ReapAdoptedOrphans() {
  // Windows leaves no zombies: an ended process goes once its last handle
  // is closed.
  return 0;
}

}  // namespace kestrun
