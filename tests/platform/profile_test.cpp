// The same cases run against our INI reader/writer on Linux and against the
// system's profile functions under Wine, so Windows itself checks our layer.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/profile.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;
using platform::ProfileGetString;
using platform::ProfileWriteString;

namespace {
class Profile : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = testscratch::CaseFolder("ts-profile");
    file_ = (dir_ / "ini.ini").string();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void WriteRaw(const std::string& text) { std::ofstream(file_, std::ios::binary) << text; }
  std::string Get(const char* section, const char* key, const char* def = "DEF") {
    return ProfileGetString(section, key, def, file_);
  }
  fs::path dir_;
  std::string file_;
};
}  // namespace

TEST_F(Profile, AbsentFileOrKeyGivesTheDefault) {
  EXPECT_EQ(Get("setting", "hotkey"), "DEF");
  WriteRaw("[setting]\r\nhotkey=65\r\n");
  EXPECT_EQ(Get("setting", "other"), "DEF");
  EXPECT_EQ(Get("nosection", "hotkey"), "DEF");
  EXPECT_EQ(Get("setting", "hotkey"), "65");
}

TEST_F(Profile, NamesIgnoreCaseAndValuesAreTrimmed) {
  WriteRaw("[GlobalSetting]\r\n  Ini_Online_ID  =   someone   \r\nempty=\r\nnovalue\r\n");
  EXPECT_EQ(Get("globalsetting", "ini_online_id"), "someone");
  EXPECT_EQ(Get("globalsetting", "empty"), "") << "a present empty value is empty, not the default";
  EXPECT_EQ(Get("globalsetting", "novalue"), "DEF");
}

TEST_F(Profile, MatchingQuotesAroundAValueAreDropped) {
  WriteRaw("[s]\nd=\"quoted\"\nq='single'\nhalf=\"open\n");
  EXPECT_EQ(Get("s", "d"), "quoted");
  EXPECT_EQ(Get("s", "q"), "single");
  EXPECT_EQ(Get("s", "half"), "\"open");
}

TEST_F(Profile, LongValuesComeBackCutTo2047Bytes) {
  std::string value(3000, 'v');
  value[2046] = 'L';
  ASSERT_TRUE(ProfileWriteString("s", "long", value.c_str(), file_));
  std::string read = Get("s", "long");
  ASSERT_EQ(read.size(), 2047u);
  EXPECT_EQ(read.back(), 'L');
}

TEST_F(Profile, FirstWriteCreatesFileAndSectionsAndLaterWritesReplaceInPlace) {
  ASSERT_TRUE(ProfileWriteString("globalsetting", "ini_online_url", "http://a/b", file_));
  ASSERT_TRUE(ProfileWriteString("setting", "hotkey", "65", file_));
  ASSERT_TRUE(ProfileWriteString("GLOBALSETTING", "INI_ONLINE_URL", "http://c/d", file_));
  ASSERT_TRUE(ProfileWriteString("globalsetting", "ini_online_id", "", file_));
  EXPECT_EQ(Get("globalsetting", "ini_online_url"), "http://c/d");
  EXPECT_EQ(Get("globalsetting", "ini_online_id"), "");
  EXPECT_EQ(Get("setting", "hotkey"), "65");
  EXPECT_FALSE(ProfileWriteString(nullptr, nullptr, nullptr, file_)) << "a flush always reports false";

  std::ifstream in(file_, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string raw = ss.str();
  EXPECT_LT(raw.find("ini_online_url"), raw.find("[setting]")) << raw;
  EXPECT_EQ(raw.find("INI_ONLINE_URL"), std::string::npos) << "the key keeps its first spelling";
}

TEST_F(Profile, NullValueDeletesKeyAndNullKeyDeletesSection) {
  ProfileWriteString("a", "k1", "1", file_);
  ProfileWriteString("a", "k2", "2", file_);
  ProfileWriteString("b", "k3", "3", file_);
  EXPECT_TRUE(ProfileWriteString("a", "k1", nullptr, file_));
  EXPECT_EQ(Get("a", "k1"), "DEF");
  EXPECT_EQ(Get("a", "k2"), "2");
  EXPECT_TRUE(ProfileWriteString("a", nullptr, nullptr, file_));
  EXPECT_EQ(Get("a", "k2"), "DEF");
  EXPECT_EQ(Get("b", "k3"), "3");
}

TEST_F(Profile, AnUnwritableFileIsReported) {
  // A folder that does not exist cannot receive the file.
  std::string missing = (dir_ / "no" / "such" / "ini.ini").string();
  EXPECT_FALSE(ProfileWriteString("s", "k", "v", missing));
  // Nor can a path that is a folder.
  EXPECT_FALSE(ProfileWriteString("s", "k", "v", dir_.string()));
}
