// Files written for the user: private, whole or not at all.

#include "private_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "temp_store.h"

namespace halvern {
namespace {

std::string Read(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Write(const std::filesystem::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
}

mode_t ModeOf(const std::filesystem::path& file) {
  struct stat st {};
  EXPECT_EQ(::stat(file.c_str(), &st), 0);
  return st.st_mode & 07777;
}

std::vector<std::string> Names(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(folder)) {
    names.push_back(item.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PrivateFileTest, WritesANewFileOrReplacesAnOldOneWithModeSixHundred) {
  test::TempDir dir;
  const auto file = dir.path() / "export.json";
  const mode_t oldMask = ::umask(0);  // a wide umask must not widen the file
  std::string error;
  EXPECT_TRUE(WritePrivateFile(file, "first", error)) << error;
  EXPECT_EQ(Read(file), "first");
  EXPECT_EQ(ModeOf(file), 0600u);

  ::chmod(file.c_str(), 0644);
  EXPECT_TRUE(WritePrivateFile(file, std::string(100000, 'x'), error)) << error;
  ::umask(oldMask);
  EXPECT_EQ(Read(file), std::string(100000, 'x'));
  EXPECT_EQ(ModeOf(file), 0600u);
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"export.json"});
}

// A full disk, as the kernel reports it to a writer that passes the file size
// limit: the write stops part of the way.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit old_{};
  void (*oldHandler_)(int) = nullptr;
};

TEST(PrivateFileTest, AFailedWriteLeavesTheOldFileAndNoPartOfTheNewOne) {
  test::TempDir dir;
  const auto file = dir.path() / "export.json";
  Write(file, "the old export");
  std::string error;
  {
    FileSizeLimit limit(4096);
    EXPECT_FALSE(WritePrivateFile(file, std::string(100000, 'x'), error));
  }
  EXPECT_EQ(error, "Cannot write \"" + file.string() + "\": File too large.");
  EXPECT_EQ(Read(file), "the old export");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"export.json"});

  // No folder to write in; a folder where the file should be.
  EXPECT_FALSE(WritePrivateFile(dir.path() / "gone" / "x.json", "x", error));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  std::filesystem::create_directory(dir.path() / "folder");
  EXPECT_FALSE(WritePrivateFile(dir.path() / "folder", "x", error));
  EXPECT_NE(error.find("Is a directory"), std::string::npos) << error;
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"export.json", "folder"}));
}

}  // namespace
}  // namespace halvern

namespace halvern {
namespace {

TEST(PrivateFileTest, ReadsOnlyWholeRegularFilesWithinTheirBound) {
  test::TempDir dir;
  Write(dir.path() / "small.txt", "http://a.example/\n");
  Write(dir.path() / "large.txt", std::string(101, 'x'));
  std::filesystem::create_directory(dir.path() / "folder");
  ASSERT_EQ(::mkfifo((dir.path() / "pipe").c_str(), 0600), 0);  // nobody ever writes to it
  struct Case {
    std::filesystem::path file;
    ReadResult result;
    std::string text;  // the bytes read, or a part of the message
  };
  const std::vector<Case> cases = {
      {dir.path() / "small.txt", ReadResult::kRead, "http://a.example/\n"},
      {dir.path() / "large.txt", ReadResult::kTooLarge, ""},
      {dir.path() / "missing.txt", ReadResult::kFailed, "No such file or directory."},
      {dir.path() / "folder", ReadResult::kFailed, "Is a directory."},
      {dir.path() / "pipe", ReadResult::kFailed, "it is not a file."},
      {"/dev/zero", ReadResult::kFailed, "it is not a file."},
  };
  for (const Case& c : cases) {
    std::string bytes = "old";
    std::string error;
    EXPECT_EQ(ReadWholeFile(c.file, 100, bytes, error), c.result) << c.file;
    if (c.result == ReadResult::kRead) {
      EXPECT_EQ(bytes, c.text);
    } else {
      EXPECT_TRUE(bytes.empty()) << c.file;
    }
    if (c.result == ReadResult::kFailed) {
      EXPECT_EQ(error, "Cannot read \"" + c.file.string() + "\": " + c.text) << c.file;
    }
  }
}

}  // namespace
}  // namespace halvern
