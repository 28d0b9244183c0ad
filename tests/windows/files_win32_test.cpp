// The Windows file layer: UTF-8 paths, the server log appended while others
// read it, and job log files that can be read while their run writes them
// but are replaced only once the run has let go of them.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/filesystem.h"
#include "platform/job_files.h"

namespace kestrun {
namespace {

class TempFolder {
 public:
  TempFolder() {
    path_ = (std::filesystem::temp_directory_path() / "kes-files-\xc3\xa9t\xc3\xa9").string();
    std::filesystem::remove_all(std::filesystem::u8path(path_));
    EXPECT_EQ(MakeDirectory(path_), 0);
  }
  ~TempFolder() { std::filesystem::remove_all(std::filesystem::u8path(path_)); }
  std::string File(const std::string& name) const { return path_ + "\\" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(WindowsFiles, TheLogIsAppendedWhileAReaderHoldsItOpen) {
  TempFolder folder;
  const std::string log = folder.File("kestrun.log");
  ASSERT_EQ(AppendToFile(log, "one\n"), 0);
  int error = 0;
  UniqueFd reader = OpenPlainFileForReading(log, &error);
  ASSERT_TRUE(reader) << error;
  bool opened = false;
  EXPECT_EQ(AppendToFile(log, "two\n", &opened), 0);
  EXPECT_TRUE(opened);
  EXPECT_EQ(ReadPlainFile(log), "one\ntwo\n");
  const std::optional<FileStatus> status = GetFileStatus(log);
  ASSERT_TRUE(status);
  EXPECT_TRUE(status->isRegular);
  EXPECT_EQ(status->size, 8);
}

TEST(WindowsFiles, AFolderIsNoPlainFile) {
  TempFolder folder;
  int error = 0;
  EXPECT_FALSE(ReadPlainFile(folder.path(), &error));
  EXPECT_FALSE(OpenPlainFileForReading(folder.path(), &error));
  EXPECT_EQ(error, EINVAL);
  EXPECT_FALSE(OpenDirectory(folder.File("missing"), &error));
}

TEST(WindowsFiles, AnExclusiveLockHasOneOwnerAtATime) {
  TempFolder folder;
  int error = 0;
  UniqueFd owner = LockFileExclusively(folder.File("a.lock"), &error);
  ASSERT_TRUE(owner) << error;
  EXPECT_FALSE(LockFileExclusively(folder.File("a.lock"), &error));
  EXPECT_EQ(error, EWOULDBLOCK);
  EXPECT_TRUE(LockFileExclusively(folder.File("b.lock"), &error));
  EXPECT_FALSE(LockFileExclusively(folder.path(), &error));
  owner.Reset();
  EXPECT_TRUE(LockFileExclusively(folder.File("a.lock"), &error));
}

TEST(WindowsFiles, AJobLogIsReadableWhileWrittenAndReplacedOnlyOnceReleased) {
  TempFolder folder;
  int error = 0;
  UniqueFd dir = OpenDirectory(folder.path(), &error);
  ASSERT_TRUE(dir) << error;
  UniqueFd log = CreateJobLogFile(dir, "JOB.log", &error);
  ASSERT_TRUE(log) << error;
  ASSERT_EQ(WriteAll(log.get(), "running\n", 8), 0);
  EXPECT_EQ(ReadPlainFile(folder.File("JOB.log")), "running\n");
  // Also by a program that does not share delete access (the C runtime's
  // streams, type, an editor).
  std::ifstream reader(std::filesystem::u8path(folder.File("JOB.log")), std::ios::binary);
  std::string line;
  EXPECT_TRUE(std::getline(reader, line));
  EXPECT_EQ(line, "running");
  reader.close();
  // Still written: the name is kept.
  EXPECT_FALSE(CreateJobLogFile(dir, "JOB.log", &error));
  EXPECT_EQ(error, EBUSY);
  // A name that is no plain file name is refused.
  EXPECT_FALSE(CreateFileInDirectory(dir, "..\\x", &error));
  EXPECT_EQ(error, EINVAL);
  // Ended: the next run starts the file anew.
  log.Reset();
  UniqueFd next = CreateJobLogFile(dir, "JOB.log", &error);
  ASSERT_TRUE(next) << error;
  EXPECT_EQ(error, 0);
  EXPECT_EQ(ReadPlainFile(folder.File("JOB.log")), "");
  next.Reset();
  EXPECT_EQ(ListDirectory(folder.path()), std::vector<std::string>{"JOB.log"});
  EXPECT_TRUE(RemoveFile(folder.File("JOB.log")));
  EXPECT_TRUE(ListDirectory(folder.path()).empty());
}

}  // namespace
}  // namespace kestrun
