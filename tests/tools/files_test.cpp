// dgnhost's temporary files: nobody can aim them, they carry the target's
// permissions, and they are either put in the target's place or gone.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>

#include "dgnhost_files.h"

namespace {

std::vector<std::string> Names(const std::string &dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator(dir, ec))
    names.push_back(e.path().filename().string());
  return names;
}

std::string Content(const std::string &path) {
  std::string s;
  if (FILE *f = std::fopen(path.c_str(), "rb")) {
    for (int c; (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
    std::fclose(f);
  }
  return s;
}

TEST(HostFiles, TemporaryFilesAreNewUnpredictableAndNeverLeftBehind) {
  std::string dir = "/tmp/dgnhost_files_XXXXXX";
  ASSERT_NE(mkdtemp(&dir[0]), nullptr);
  const std::string target = dir + "/map.dgn";
  FILE *old = std::fopen(target.c_str(), "wb");
  ASSERT_NE(old, nullptr);
  std::fputs("old", old);
  std::fclose(old);
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);

  const struct {
    const char *label;
    bool commit;
    const char *expected;  // the target's content afterwards
  } cases[] = {{"dropped", false, "old"}, {"committed", true, "new"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    std::string error, first, second;
    {
      TempFile a, b;
      ASSERT_TRUE(a.Create(target, nullptr, error)) << error;
      ASSERT_TRUE(b.Create(target, nullptr, error)) << error;
      first = a.name();
      second = b.name();
      EXPECT_NE(first, second);
      const std::string suffix = kTempSuffix;
      EXPECT_EQ(first.compare(0, target.size() + 1, target + "."), 0) << first;
      EXPECT_EQ(first.compare(first.size() - suffix.size(), suffix.size(), suffix), 0) << first;
      EXPECT_GE(first.size(), target.size() + 1 + 16 + suffix.size()) << "an unpredictable part";
      struct stat st;
      ASSERT_EQ(stat(first.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0640u) << "the target's permissions";
      std::fputs("new", a.stream());
      if (c.commit) {
        ASSERT_TRUE(a.Commit(error)) << error;
      }
    }
    EXPECT_EQ(Content(target), c.expected);
    EXPECT_EQ(Names(dir), std::vector<std::string>{"map.dgn"}) << "nothing else is left";
  }
  std::remove(target.c_str());
  rmdir(dir.c_str());
}

}  // namespace
#endif
