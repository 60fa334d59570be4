// The POSIX INI reader and writer: the read properties the settings rely
// on, byte-exact preservation of everything a write does not set, and
// failures that leave the file as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "Configuracion.h"
#include "platform.h"
#include "support_test_util.h"

using supporttest::ReadFile;
using supporttest::ScratchDir;
using supporttest::WriteFile;

namespace {

// A host INI file with comments, other sections, CRLF line endings and no
// final newline.
const std::string kHostIni =
    "; host settings\r\n"
    "[General]\r\n"
    "Language=es\r\n"
    "\r\n"
    "[Mapa]\r\n"
    "; seed used by exports\r\n"
    "Other = keep me \r\n"
    "\r\n"
    "[Rutas]\r\n"
    "Dir=C:\\maps";

// kHostIni after the seed key was added to [Mapa].
const std::string kHostIniWithSeed =
    "; host settings\r\n[General]\r\nLanguage=es\r\n\r\n[Mapa]\r\n; seed used by exports\r\n"
    "Other = keep me \r\nDGN_Seed_File=seed2d.dgn\r\n\r\n[Rutas]\r\nDir=C:\\maps";

std::string Read(const std::string &file, const char *section, const char *key, uint32_t size,
                 uint32_t *count, const char *def = "dflt") {
  std::vector<char> buf(size + 1, 'Z');
  *count = PlatGetPrivateProfileString(section, key, def, buf.data(), size, file.c_str());
  return buf.data();
}

TEST(IniRead, DefaultsCutsAndCase) {
  ScratchDir dir;
  const std::string file = dir.Path("gps.ini");
  WriteFile(file, kHostIni);
  struct Case {
    const char *section;
    const char *key;
    uint32_t size;
    const char *value;
    uint32_t count;
  } cases[] = {
      {"Mapa", "Other", 100, "keep me", 7},  // blanks around the value trimmed
      {"mApA", "oTHER", 100, "keep me", 7},  // names ignore ASCII case
      {"Mapa", "Other", 5, "keep", 4},       // cut to size - 1
      {"Mapa", "Other", 8, "keep me", 7},    // exactly fits
      {"Mapa", "Other", 1, "", 0},
      {"Rutas", "Dir", 100, "C:\\maps", 7},  // last line, no newline
      {"Mapa", "Language", 100, "dflt", 4},  // key of another section
      {"Nada", "Other", 100, "dflt", 4},     // missing section
      {"Mapa", "Missing", 3, "df", 2},       // default is cut the same way
      {"; host settings", "x", 100, "dflt", 4},
  };
  for (const Case &c : cases) {
    uint32_t count = 0;
    EXPECT_EQ(Read(file, c.section, c.key, c.size, &count), c.value) << c.section << "/" << c.key;
    EXPECT_EQ(count, c.count) << c.section << "/" << c.key;
  }
  uint32_t count = 0;
  EXPECT_EQ(Read(dir.Path("absent.ini"), "Mapa", "Other", 100, &count), "dflt");
  EXPECT_EQ(Read(dir.Path(), "Mapa", "Other", 100, &count), "dflt");  // a folder
  EXPECT_EQ(Read(file, "Mapa", "Other", 100, &count, nullptr), "keep me");
  EXPECT_EQ(Read(file, "Mapa", "Missing", 100, &count, nullptr), "");
  // Backslash paths reach the same file.
  char buf[32];
  EXPECT_EQ(PlatGetPrivateProfileString("Mapa", "Other", "", buf, sizeof buf,
                                        PlatFromOsPath(file.c_str()).c_str()),
            7u);
}

struct WriteCase {
  const char *label;
  std::string before;
  const char *section;
  const char *key;
  const char *value;
  std::string after;
};

TEST(IniWrite, ChangesOnlyTheOneValue) {
  const WriteCase cases[] = {
      {"key added to its section", kHostIni, "Mapa", "DGN_Seed_File", "seed2d.dgn",
       kHostIniWithSeed},
      {"value replaced, spelling and blanks kept", "[mapa]\r\n dgn_seed_file = old.dgn \r\nX=1",
       "Mapa", "DGN_Seed_File", "new.dgn", "[mapa]\r\n dgn_seed_file = new.dgn \r\nX=1"},
      {"section added, still no final newline", "[General]\r\nLanguage=es", "Mapa", "DGN_Seed_File",
       "seed2d.dgn", "[General]\r\nLanguage=es\r\n[Mapa]\r\nDGN_Seed_File=seed2d.dgn"},
      {"key added at the end of the last section", "[Mapa]\r\nOther=1", "Mapa", "DGN_Seed_File",
       "s.dgn", "[Mapa]\r\nOther=1\r\nDGN_Seed_File=s.dgn"},
      {"LF file keeps LF", "[Mapa]\nOther=1\n", "Mapa", "K", "v", "[Mapa]\nOther=1\nK=v\n"},
      {"new file", "", "Mapa", "DGN_Seed_File", "seed2d.dgn", "[Mapa]\nDGN_Seed_File=seed2d.dgn\n"},
      {"empty value replaced", "[Mapa]\r\nK=\r\n", "Mapa", "K", "v", "[Mapa]\r\nK=v\r\n"},
      {"value emptied", "[Mapa]\r\nK=v\r\n", "Mapa", "K", "", "[Mapa]\r\nK=\r\n"},
      {"same value", kHostIni, "MAPA", "other", "keep me", kHostIni},
  };
  for (const WriteCase &c : cases) {
    ScratchDir dir;
    const std::string file = dir.Path("gps.ini");
    if (!c.before.empty()) WriteFile(file, c.before);
    EXPECT_TRUE(PlatWritePrivateProfileString(c.section, c.key, c.value,
                                              PlatFromOsPath(file.c_str()).c_str()))
        << c.label;
    EXPECT_EQ(ReadFile(file), c.after) << c.label;
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"gps.ini"}) << c.label;
  }
}

TEST(IniWrite, SeedSettingFillsHostIniByteForByte) {
  ScratchDir dir;
  const std::string file = dir.Path("gps.ini");
  WriteFile(file, kHostIni);
  TConfiguracion config(PlatFromOsPath(file.c_str()).c_str());
  {
    TstringConfig seed("Mapa", "DGN_Seed_File", &config, "seed2d.dgn");
    EXPECT_STREQ(seed.value.CStr(), "seed2d.dgn");
  }
  const std::string added = ReadFile(file);
  EXPECT_EQ(added, kHostIniWithSeed);
  {
    TstringConfig seed("Mapa", "DGN_Seed_File", &config, "seed2d.dgn");
    seed.SetText("/data/seeds/a.dgn");
  }
  std::string expected = added;
  expected.replace(expected.find("seed2d.dgn"), 10, "/data/seeds/a.dgn");
  EXPECT_EQ(ReadFile(file), expected);
  EXPECT_EQ(config.entries.Count(), 0);
}

TEST(IniWrite, RefusesTextsThatWouldBreakLines) {
  ScratchDir dir;
  const std::string file = dir.Path("gps.ini");
  WriteFile(file, kHostIni);
  const char *bad[][3] = {
      {"Mapa", "K", "a\nb"}, {"Mapa", "K", "a\rb"}, {"Ma\npa", "K", "v"}, {"Mapa", "K=", "v"},
      {"Ma]pa", "K", "v"},   {"Mapa", "", "v"},     {"Mapa", "[K", "v"},  {"Mapa", ";K", "v"},
  };
  for (const auto &b : bad)
    EXPECT_FALSE(PlatWritePrivateProfileString(b[0], b[1], b[2], file.c_str())) << b[1];
  EXPECT_FALSE(PlatWritePrivateProfileString("Mapa", "K", nullptr, file.c_str()));
  EXPECT_FALSE(PlatWritePrivateProfileString("Mapa", "K", "v", nullptr));
  EXPECT_EQ(ReadFile(file), kHostIni);
}

TEST(IniWrite, KeepsPermissionsAndWritesThroughLinks) {
  ScratchDir dir;
  const std::string file = dir.Path("gps.ini");
  WriteFile(file, "[Mapa]\n");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  ASSERT_EQ(::symlink(file.c_str(), dir.Path("link.ini").c_str()), 0);
  EXPECT_TRUE(PlatWritePrivateProfileString("Mapa", "K", "v", dir.Path("link.ini").c_str()));
  EXPECT_EQ(ReadFile(file), "[Mapa]\nK=v\n");
  struct stat st;
  ASSERT_EQ(::lstat(dir.Path("link.ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A write that cannot be completed leaves the INI file untouched, leaves
// no temporary file, and the setting still holds its default.
void ExpectFailedSeedWrite(const std::string &iniPath, const ScratchDir *dir,
                           const std::string &before) {
  TConfiguracion config(iniPath.c_str());
  TstringConfig seed("Mapa", "DGN_Seed_File", &config, "seed2d.dgn");
  EXPECT_STREQ(seed.value.CStr(), "seed2d.dgn");
  EXPECT_FALSE(config.WriteString("Mapa", "DGN_Seed_File", "seed2d.dgn"));
  if (dir != nullptr) {
    EXPECT_EQ(ReadFile(iniPath), before);
    EXPECT_EQ(dir->Entries(), std::vector<std::string>{"gps.ini"});
  }
}

TEST(IniWrite, FailuresLeaveTheFileAsItWas) {
  ScratchDir dir;
  WriteFile(dir.Path("regular"), "x");
  // Folders that cannot receive a file, whoever runs the test.
  for (const char *path : {"missing/gps.ini", "regular/gps.ini"}) {
    ExpectFailedSeedWrite(dir.Path(path), nullptr, "");
    EXPECT_FALSE(supporttest::PathExists(dir.Path(path)));
  }
  EXPECT_EQ(ReadFile(dir.Path("regular")), "x");

  for (PlatFault fault : {PLAT_FAULT_TEMP_CREATE, PLAT_FAULT_TEMP_WRITE, PLAT_FAULT_RENAME}) {
    ScratchDir d;
    WriteFile(d.Path("gps.ini"), kHostIni);
    PlatSetFaultForTesting(fault);
    ExpectFailedSeedWrite(d.Path("gps.ini"), &d, kHostIni);
    PlatSetFaultForTesting(PLAT_FAULT_NONE);
  }
}

TEST(IniWrite, ReadOnlyFolderAndFile) {
  if (::geteuid() == 0)
    GTEST_SKIP() << "root writes into read-only folders; see FailuresLeaveTheFileAsItWas";
  ScratchDir dir;
  WriteFile(dir.Path("gps.ini"), kHostIni);
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0);
  ExpectFailedSeedWrite(dir.Path("gps.ini"), &dir, kHostIni);
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(dir.Path("gps.ini").c_str(), 0444), 0);
  ExpectFailedSeedWrite(dir.Path("gps.ini"), &dir, kHostIni);
}

}  // namespace
