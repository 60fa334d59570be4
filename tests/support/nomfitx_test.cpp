// File names: splitting, joining, completeness, walking relative folders,
// the seed lookup beside the host program, and the existence test.
#include <gtest/gtest.h>

#include <string>

#include <unistd.h>

#include "NomFitx.h"
#include "platform.h"
#include "support_test_util.h"

using supporttest::ScratchDir;
using supporttest::WriteFile;

namespace {

TEST(NomFitx, FileNameDirectoryJoin) {
  struct Case {
    const char *path;
    const char *fileName;
    const char *directory;
  } cases[] = {
      {"C:\\a\\b.dgn", "b.dgn", "C:\\a"},
      {"b.dgn", "b.dgn", ""},
      {"C:\\a\\", "", "C:\\a"},
      {"", "", ""},
      {"\\f.dgn", "f.dgn", ""},
      // On POSIX the forward slash is the OS separator and enters as '\'.
      {"C:/a/b.dgn", "b.dgn", PlatHasDrives() ? "" : "C:\\a"},
  };
  for (const Case &c : cases) {
    const TStringNomFitx p(c.path);
    EXPECT_STREQ(p.FileName(), c.fileName) << c.path;
    EXPECT_STREQ(p.Directory().CStr(), c.directory) << c.path;
  }
  TStringNomFitx p;
  for (const auto &j : {std::pair<const char *, const char *>{"C:\\a", "C:\\a\\b"},
                        {"C:\\a\\", "C:\\a\\b"},
                        {"", "b"},
                        {nullptr, "b"}}) {
    p.Join(j.first, "b");
    EXPECT_STREQ(p.CStr(), j.second);
  }
  p.Join(p.CStr(), p.FileName());  // arguments inside the path itself
  EXPECT_STREQ(p.CStr(), "b\\b");
}

TEST(NomFitx, IsComplete) {
  struct Case {
    const char *path;
    bool complete;
  } cases[] = {{"C:", true},   {"\\a", true},   {"\\", false}, {"x", false},
               {"ab:c", true}, {"a\\b", false}, {"", false},   {"/data/seeds/a.dgn", true}};
  for (const Case &c : cases) EXPECT_EQ(TStringNomFitx(c.path).IsComplete(), c.complete) << c.path;
}

TEST(NomFitx, ChangeDir) {
  struct Case {
    const char *path;
    const char *rel;
    const char *result;
  } cases[] = {
      {"C:\\a\\b\\f.dgn", "..", "C:\\a\\f.dgn"},
      {"C:\\a\\b\\f.dgn", ".", "C:\\a\\b\\f.dgn"},
      {"C:\\a\\b\\f.dgn", "x\\y", "C:\\a\\b\\x\\y\\f.dgn"},
      {"C:\\a\\b\\f.dgn", "D:\\s", "D:\\s\\f.dgn"},
      {"C:\\a\\b\\f.dgn", "x\\..\\y", "C:\\a\\b\\y\\f.dgn"},
      {"C:\\a\\b\\f.dgn", "x\\\\y\\", "C:\\a\\b\\x\\y\\f.dgn"},
      {"C:\\f.dgn", "..", "C:\\f.dgn"},
      {"f.dgn", "..", "f.dgn"},
      {"f.dgn", "symbols\\dgnseeds", "\\symbols\\dgnseeds\\f.dgn"},
      {"\\a\\f.dgn", "..", "\\f.dgn"},  // the root stays a root
      {"\\f.dgn", "..", "\\f.dgn"},
      {"C:\\a\\f.dgn", "\\", "C:\\a\\f.dgn"},  // a lone backslash names nothing
      {"C:\\a\\f.dgn", "", "C:\\a\\f.dgn"},
      {"C:\\a\\f.dgn", "A", "C:\\a\\A\\f.dgn"},
  };
  for (const Case &c : cases) {
    TStringNomFitx p(c.path);
    p.ChangeDir(c.rel);
    EXPECT_STREQ(p.CStr(), c.result) << c.path << " + " << c.rel;
  }
}

class ProgramDirTest : public ::testing::Test {
 protected:
  void SetUp() override { programDirectory.Assign(static_cast<const char *>(nullptr)); }
  void TearDown() override {
    PlatSetProgramPathForTesting(nullptr);
    programDirectory.Assign(static_cast<const char *>(nullptr));
  }
};

TEST_F(ProgramDirTest, PlaceInProgramDirKeepsOnlyTheName) {
  PlatSetProgramPathForTesting("C:\\Prog\\host.exe");
  TStringNomFitx p("..\\seeds\\my.dgn");
  p.PlaceInProgramDir();
  EXPECT_STREQ(p.CStr(), "C:\\Prog\\my.dgn");
  // Filled once: a later change of the program path is not seen.
  PlatSetProgramPathForTesting("D:\\Other\\host.exe");
  TStringNomFitx q("seed2d.dgn");
  q.PlaceInProgramDir();
  q.ChangeDir("symbols\\dgnseeds");
  EXPECT_STREQ(q.CStr(), "C:\\Prog\\symbols\\dgnseeds\\seed2d.dgn");

  programDirectory.Assign(static_cast<const char *>(nullptr));
  PlatSetProgramPathForTesting("");  // not available: bare name, tried again later
  TStringNomFitx r("a\\b.dgn");
  r.PlaceInProgramDir();
  EXPECT_STREQ(r.CStr(), "b.dgn");
  EXPECT_TRUE(programDirectory.IsEmpty());
}

TEST_F(ProgramDirTest, RelativeSeedResolvesBesideTheRunningProgram) {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
  std::string folder(exe);
  folder.erase(folder.rfind('/'));

  TStringNomFitx seed("seeds/my.dgn");  // as a setting may hold it
  ASSERT_FALSE(seed.IsComplete());
  seed.PlaceInProgramDir();
  seed.ChangeDir("symbols\\dgnseeds");
  EXPECT_EQ(PlatToOsPath(seed.CStr()), folder + "/symbols/dgnseeds/my.dgn");
  EXPECT_EQ(std::string(programDirectory.CStr()), PlatFromOsPath(folder.c_str()));

  // An absolute POSIX path is complete and used unchanged.
  const TStringNomFitx absolute("/data/seeds/a.dgn");
  EXPECT_TRUE(absolute.IsComplete());
  EXPECT_EQ(PlatToOsPath(absolute.CStr()), "/data/seeds/a.dgn");
}

TEST(NomFitx, ExistsOnlyForFiles) {
  ScratchDir dir;
  WriteFile(dir.Path("seed2d.dgn"), "x");
  EXPECT_TRUE(TStringNomFitx(dir.Path("seed2d.dgn").c_str()).Exists());
  EXPECT_TRUE(TStringNomFitx(PlatFromOsPath(dir.Path("seed2d.dgn").c_str()).c_str()).Exists());
  EXPECT_FALSE(TStringNomFitx(dir.Path().c_str()).Exists());
  EXPECT_FALSE(TStringNomFitx(dir.Path("absent.dgn").c_str()).Exists());
  EXPECT_FALSE(TStringNomFitx("").Exists());
  // Drive-like prefixes mean nothing on POSIX: these are plain missing files.
  EXPECT_FALSE(TStringNomFitx("Q:\\nowhere\\a.dgn").Exists());
  EXPECT_FALSE(TStringNomFitx("1:\\a.dgn").Exists());
}

TEST(NomFitx, CurrentDirectoryInBackslashForm) {
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  const TCurrentDir now;
  EXPECT_EQ(std::string(now.path.CStr()), PlatFromOsPath(cwd));
  EXPECT_EQ(now.path.CharAt(0), '\\');
  EXPECT_STREQ(currentDirectory.path.CStr(), now.path.CStr());
}

}  // namespace
