// INI-backed settings: values of any length, the missing-value marker,
// line breaks in their stored form, and binding to the configuration.
#include <gtest/gtest.h>

#include <string>

#include "Configuracion.h"
#include "platform.h"
#include "support_test_util.h"

using supporttest::PathExists;
using supporttest::ReadFile;
using supporttest::ScratchDir;
using supporttest::WriteFile;

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  // The configuration gets the INI path in backslash form, as the plug-in
  // builds it.
  ConfigTest() : file_(dir_.Path("gps.ini")), config_(PlatFromOsPath(file_.c_str()).c_str()) {}
  ScratchDir dir_;
  std::string file_;
  TConfiguracion config_;
};

TEST_F(ConfigTest, ValuesOfAnyLengthComeBackWhole) {
  for (size_t length : {1u, 9u, 10u, 11u, 19u, 20u, 25u, 29u, 30u, 31u, 200u, 1000u}) {
    std::string v;
    for (size_t i = 0; i < length; ++i) v += static_cast<char>('a' + i % 26);
    WriteFile(file_, "[Mapa]\r\nDGN_Seed_File=" + v + "\r\n");
    DString out;
    EXPECT_TRUE(config_.ReadString(out, "Mapa", "DGN_Seed_File")) << length;
    EXPECT_EQ(std::string(out.CStr()), v) << length;
    TstringConfig seed("Mapa", "DGN_Seed_File", &config_, "seed2d.dgn");
    EXPECT_EQ(std::string(seed.Value().CStr()), v) << length;
  }
}

TEST_F(ConfigTest, MissingKeyWritesTheDefault) {
  DString out;
  EXPECT_FALSE(config_.ReadString(out, "Mapa", "DGN_Seed_File"));
  EXPECT_STREQ(out.CStr(), "foca_noE");
  {
    TstringConfig seed("Mapa", "DGN_Seed_File", &config_, "seed2d.dgn");
    EXPECT_STREQ(seed.value.CStr(), "seed2d.dgn");
    DString got;
    EXPECT_STREQ(seed.GetText(got).CStr(), "seed2d.dgn");
  }
  EXPECT_EQ(ReadFile(file_), "[Mapa]\nDGN_Seed_File=seed2d.dgn\n");

  // The marker itself counts as missing and is replaced by the default.
  WriteFile(file_, "[Mapa]\nDGN_Seed_File=foca_noE\n");
  TstringConfig seed("Mapa", "DGN_Seed_File", &config_, "seed2d.dgn");
  EXPECT_STREQ(seed.value.CStr(), "seed2d.dgn");
  EXPECT_EQ(ReadFile(file_), "[Mapa]\nDGN_Seed_File=seed2d.dgn\n");
}

TEST_F(ConfigTest, EmptyValueIsFoundAndNothingIsWritten) {
  const std::string before = "[Mapa]\r\nDGN_Seed_File=\r\n";
  WriteFile(file_, before);
  TstringConfig seed("Mapa", "DGN_Seed_File", &config_, "seed2d.dgn");
  EXPECT_STREQ(seed.value.CStr(), "");
  EXPECT_EQ(ReadFile(file_), before);
}

TEST_F(ConfigTest, LineBreaksUseTheirStoredForm) {
  WriteFile(file_,
            "[S]\nK=a\xFE\xFF"
            "b\xFF\n");
  TstringConfig s("S", "K", &config_, "d");
  EXPECT_STREQ(s.value.CStr(), "a\r\nb\n");
  s.SetText("x\r\ny");
  EXPECT_EQ(ReadFile(file_), "[S]\nK=x\xFE\xFFy\n");
  // A default with a line break goes into the file in stored form too.
  TstringConfig t("S", "T", &config_, "1\n2");
  EXPECT_STREQ(t.value.CStr(), "1\n2");
  EXPECT_EQ(ReadFile(file_),
            "[S]\nK=x\xFE\xFFy\nT=1\xFF"
            "2\n");
}

TEST_F(ConfigTest, OnlyChangedValuesAreStored) {
  TstringConfig s("S", "K", &config_, "d");
  ASSERT_TRUE(PathExists(file_));
  ASSERT_EQ(std::remove(file_.c_str()), 0);
  s.SetText("d");  // unchanged: no write brings the file back
  EXPECT_FALSE(PathExists(file_));
  s.SetText("e");
  EXPECT_EQ(ReadFile(file_), "[S]\nK=e\n");

  TstringConfig noSection("", "K", &config_, "d");
  ASSERT_EQ(std::remove(file_.c_str()), 0);
  noSection.SetText("changed");
  EXPECT_STREQ(noSection.value.CStr(), "changed");
  EXPECT_FALSE(PathExists(file_));
}

TEST_F(ConfigTest, SettingsBindAndUnbindThemselves) {
  TstringConfig *a = new TstringConfig("S", "A", &config_, "1");
  TstringConfig *b = new TstringConfig("S", "B", &config_, "2");
  TstringConfig *c = new TstringConfig("S", "C", &config_, "3");
  ASSERT_EQ(config_.entries.Count(), 3);
  delete b;
  ASSERT_EQ(config_.entries.Count(), 2);
  EXPECT_EQ(config_.entries.Get(0), a);
  EXPECT_EQ(config_.entries.Get(1), c);
  delete a;
  delete c;
  EXPECT_EQ(config_.entries.Count(), 0);

  TstringConfig loose("S", "A", nullptr, "dflt");
  EXPECT_STREQ(loose.value.CStr(), "dflt");
  DString out;
  EXPECT_FALSE(loose.Read(out));
  TstringConfig nullDefault("S", "N", &config_, nullptr);
  EXPECT_STREQ(nullDefault.value.CStr(), "");
  EXPECT_EQ(ReadFile(file_), "[S]\nA=1\nB=2\nC=3\nN=\n");
}

}  // namespace
