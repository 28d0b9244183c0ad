#include "plugins/file_stamp.h"

#include <sys/stat.h>

namespace kesgp {

FileStamp StampOf(const std::string& path) {
  FileStamp stamp;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return stamp;
  stamp.exists = true;
  stamp.device = st.st_dev;
  stamp.inode = st.st_ino;
  stamp.size = st.st_size;
  stamp.modifiedSeconds = st.st_mtim.tv_sec;
  stamp.modifiedNanoseconds = st.st_mtim.tv_nsec;
  return stamp;
}

}  // namespace kesgp
