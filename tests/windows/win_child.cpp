// The child program of the Windows launch tests (kes_win_child.exe):
//   echo CODE       copies standard input to standard output, then exits
//                   with CODE
//   args ARG...     writes each argument on a line of its own
//   env NAME        writes the value of the environment variable NAME
//   tree DEPTH      writes its process id as a line; with DEPTH > 0 starts
//                   "tree DEPTH-1" first (sharing its standard output); then
//                   waits to be killed
//   stderr TEXT     writes TEXT on standard error and exits with 3
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string Utf8(const wchar_t* text) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

void Write(const std::string& text) {
  DWORD put = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &put,
              nullptr);
}

int Tree(int depth) {
  if (depth > 0) {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" tree " + std::to_wstring(depth - 1);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &info))
      return 2;
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
  }
  Write(std::to_string(::GetCurrentProcessId()) + "\n");
  ::Sleep(INFINITE);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 100;
  const std::wstring mode = argv[1];
  if (mode == L"echo") {
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) &&
           got > 0)
      Write(std::string(buffer, got));
    return argc > 2 ? _wtoi(argv[2]) : 0;
  }
  if (mode == L"args") {
    for (int i = 2; i < argc; ++i) Write(Utf8(argv[i]) + "\n");
    return 0;
  }
  if (mode == L"env" && argc > 2) {
    wchar_t value[1024];
    const DWORD n = ::GetEnvironmentVariableW(argv[2], value, 1024);
    if (n == 0 || n >= 1024) return 1;
    Write(Utf8(value));
    return 0;
  }
  if (mode == L"tree" && argc > 2) return Tree(_wtoi(argv[2]));
  if (mode == L"stderr" && argc > 2) {
    const std::string text = Utf8(argv[2]);
    DWORD put = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
                &put, nullptr);
    return 3;
  }
  return 100;
}
