// Windows: paths are UTF-8 up to here and UTF-16 from here on. Files are
// opened with share modes that let others read, write and delete them while
// they are open (the server log and job logs are read while written, and a
// log file may be removed by the retention sweep while a reader has it), and
// every handle is non-inheritable unless a launch hands it on.
#include <windows.h>

#include <cerrno>

#include "platform/filesystem.h"
#include "platform/wide_win32.h"

namespace kestrun {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// 100 ns intervals since 1601 to nanoseconds since 1970.
int64_t EpochNanoseconds(const FILETIME& time) {
  const int64_t ticks = (static_cast<int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return (ticks - 116444736000000000LL) * 100;
}

bool IsPlainFile(HANDLE file) {
  return ::GetFileType(file) == FILE_TYPE_DISK;
}

bool IsDirectoryHandle(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  return ::GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

UniqueFd OpenForReading(const std::string& path, int* error) {
  UniqueFd file(FromHandle(::CreateFileW(Widen(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
  if (!file) {
    const DWORD failure = ::GetLastError();
    // A folder cannot be opened as a file (access denied): it is no plain
    // file, as on POSIX.
    const DWORD attributes = ::GetFileAttributesW(Widen(path).c_str());
    *error = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                 ? EINVAL
                 : PortableError(failure);
  }
  return file;
}

}  // namespace

std::optional<FileStatus> GetFileStatus(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data))
    return std::nullopt;
  FileStatus status;
  status.modificationTime = EpochNanoseconds(data.ftLastWriteTime);
  status.size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  status.isRegular = !(data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
  return status;
}

std::optional<std::string> ReadPlainFile(const std::string& path, int* error) {
  int ignored = 0;
  int& failure = error ? *error : ignored;
  failure = 0;
  UniqueFd file = OpenForReading(path, &failure);
  if (!file) return std::nullopt;
  if (!IsPlainFile(AsHandle(file.get())) || IsDirectoryHandle(AsHandle(file.get()))) {
    failure = EINVAL;
    return std::nullopt;
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const long n = ReadSome(file.get(), buffer, sizeof buffer, &failure);
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

UniqueFd OpenPlainFileForReading(const std::string& path, int* error) {
  UniqueFd file = OpenForReading(path, error);
  if (file && (!IsPlainFile(AsHandle(file.get())) || IsDirectoryHandle(AsHandle(file.get())))) {
    *error = EINVAL;
    return UniqueFd();
  }
  return file;
}

UniqueFd LockFileExclusively(const std::string& path, int* error) {
  UniqueFd file(
      FromHandle(::CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
  if (!file) {
    *error = PortableError(::GetLastError());
    return file;
  }
  if (!IsPlainFile(AsHandle(file.get())) || IsDirectoryHandle(AsHandle(file.get()))) {
    *error = EINVAL;
    return UniqueFd();
  }
  OVERLAPPED whole{};
  if (!::LockFileEx(AsHandle(file.get()), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                    MAXDWORD, MAXDWORD, &whole)) {
    const DWORD failure = ::GetLastError();
    *error = failure == ERROR_LOCK_VIOLATION ? EWOULDBLOCK : PortableError(failure);
    return UniqueFd();
  }
  return file;
}

UniqueFd OpenDirectory(const std::string& path, int* error) {
  // FILE_FLAG_BACKUP_SEMANTICS opens a directory; the handle keeps it from
  // being removed or renamed while files are made in it.
  UniqueFd dir(FromHandle(::CreateFileW(Widen(path).c_str(), FILE_LIST_DIRECTORY,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
  if (!dir) {
    *error = PortableError(::GetLastError());
    return dir;
  }
  if (!IsDirectoryHandle(AsHandle(dir.get()))) {
    *error = ENOTDIR;
    return UniqueFd();
  }
  return dir;
}

namespace {

// The path of an open directory, from its handle.
std::wstring PathOf(const UniqueFd& directory) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFinalPathNameByHandleW(AsHandle(directory.get()), path.data(),
                                                static_cast<DWORD>(path.size()), 0);
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(n + 1);
  }
}

bool IsPlainName(const std::string& name) {
  return !(name.empty() || name == "." || name == ".." ||
           name.find_first_of("/\\:") != std::string::npos);
}

// CREATE_NEW never opens what exists, whatever it is. `share` 0 holds the
// file exclusively (a job log: see CreateJobLogFile). Write access only: a
// handle with delete access would turn away every reader that does not share
// delete access (most programs do not).
UniqueFd CreateNew(const UniqueFd& directory, const std::string& name, DWORD share, int* error) {
  if (!IsPlainName(name)) {
    *error = EINVAL;
    return UniqueFd();
  }
  const std::wstring dir = PathOf(directory);
  if (dir.empty()) {
    *error = PortableError(::GetLastError());
    return UniqueFd();
  }
  UniqueFd file(FromHandle(::CreateFileW((dir + L"\\" + Widen(name)).c_str(), GENERIC_WRITE, share,
                                         nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)));
  if (!file) *error = PortableError(::GetLastError());
  return file;
}

}  // namespace

UniqueFd CreateFileInDirectory(const UniqueFd& directory, const std::string& name, int* error) {
  return CreateNew(directory, name, kShareAll, error);
}

UniqueFd CreateJobLogFile(const UniqueFd& directory, const std::string& name, int* error) {
  // A run's log is shared for reading only: while a run writes it, nobody
  // else can open it for writing or delete it. An ended run's file (which
  // nobody holds) is deleted and made anew; a file still written refuses
  // the delete with a sharing violation, which is reported as EBUSY.
  constexpr DWORD kShareRead = FILE_SHARE_READ;
  UniqueFd file = CreateNew(directory, name, kShareRead, error);
  if (!file && *error == EEXIST) {
    const std::wstring path = PathOf(directory) + L"\\" + Widen(name);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
      *error = EEXIST;
      return UniqueFd();
    }
    if (!::DeleteFileW(path.c_str())) {
      const DWORD failure = ::GetLastError();
      *error = failure == ERROR_SHARING_VIOLATION || failure == ERROR_ACCESS_DENIED
                   ? EBUSY
                   : PortableError(failure);
      return UniqueFd();
    }
    file = CreateNew(directory, name, kShareRead, error);
  }
  if (file) *error = 0;
  return file;
}

int AppendToFile(const std::string& path, std::string_view data, bool* opened) {
  if (opened) *opened = false;
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of
  // the file as one piece, as O_APPEND does.
  UniqueFd file(
      FromHandle(::CreateFileW(Widen(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE, kShareAll,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
  if (!file) return PortableError(::GetLastError());
  const DWORD type = ::GetFileType(AsHandle(file.get()));
  if (type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR) return EINVAL;
  if (opened) *opened = true;
  DWORD written = 0;
  if (!::WriteFile(AsHandle(file.get()), data.data(), static_cast<DWORD>(data.size()), &written,
                   nullptr))
    return PortableError(::GetLastError());
  return written == data.size() ? 0 : EIO;
}

bool IsRunnableFile(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(Widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace kestrun
