#include <windows.h>

#include "plugins/file_stamp.h"
#include "plugins/wide_text_win32.h"

namespace kesgp {

FileStamp StampOf(const std::string& path) {
  FileStamp stamp;
  // Opened for its attributes only, sharing everything: an editor or the
  // administrator may hold the file open for writing.
  HANDLE file = ::CreateFileW(Widen(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return stamp;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = ::GetFileInformationByHandle(file, &info) != 0;
  ::CloseHandle(file);
  if (!known) return stamp;
  stamp.exists = true;
  stamp.device = info.dwVolumeSerialNumber;
  stamp.inode = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  stamp.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  // 100-nanosecond ticks since 1601.
  const uint64_t ticks =
      (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
  stamp.modifiedSeconds = static_cast<int64_t>(ticks / 10000000);
  stamp.modifiedNanoseconds = static_cast<int64_t>(ticks % 10000000) * 100;
  return stamp;
}

}  // namespace kesgp
