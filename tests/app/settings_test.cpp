#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/settings.h"
#include "platform/secrets.h"
#include "runtime/exception.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;
using namespace ts;

TEST(PasswordTransforms, ScrambleIsItsOwnInverseForEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  for (int key : {617, 0, 255, -1, 0x1234}) {
    std::string once = ScrambleText(all, key);
    ASSERT_EQ(once.size(), 256u);
    EXPECT_NE(once, all);
    EXPECT_EQ(ScrambleText(once, key), all) << key;
  }
  // K = 617 & 0xFF = 105: b -> 104 - b (mod 256).
  EXPECT_EQ(ScrambleText("h", 617), std::string(1, '\0'));
  EXPECT_EQ(ScrambleText("\x01", 617), "g");
  EXPECT_EQ(ScrambleText("", 617), "");
}

TEST(PasswordTransforms, PercentEncodeKeepsOnlyTheUnreservedSet) {
  EXPECT_EQ(PercentEncode("a b~"), "a%20b%7E");
  EXPECT_EQ(PercentEncode("Az09-._"), "Az09-._");
  EXPECT_EQ(PercentEncode("+%\x01\x80\xff"), "%2B%25%01%80%FF");
  EXPECT_EQ(PercentEncode(" ").find('+'), std::string::npos);
}

TEST(PasswordTransforms, PercentDecodeAndItsMalformedEscapes) {
  EXPECT_EQ(PercentDecode("%41%62"), "Ab");
  EXPECT_EQ(PercentDecode("%4a%4A"), "JJ");
  EXPECT_EQ(PercentDecode("a+b"), "a b");
  EXPECT_EQ(PercentDecode("abc%4"), "abc%4") << "fewer than two bytes after %: whole input undecoded";
  EXPECT_EQ(PercentDecode("%41%"), "%41%");
  EXPECT_EQ(PercentDecode("x%G1%41"), "x%G1%41") << "non-hex digits: whole input undecoded";
  EXPECT_EQ(PercentDecode("%+1"), "%+1");
  EXPECT_EQ(PercentDecode("% 1"), "% 1");
  EXPECT_EQ(PercentDecode("%00z"), std::string("\0z", 2));
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(PercentDecode(PercentEncode(all)), all);
}

namespace {
class SettingsFile : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = testscratch::CaseFolder("ts-settings");
    path_ = (dir_ / "ini.ini").string();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void WriteRaw(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  fs::path dir_;
  std::string path_;
};
}  // namespace

TEST_F(SettingsFile, NoFileGivesTheDefaults) {
  TSettings s = LoadSettings(path_);
  EXPECT_EQ(s.url, "http://localhost:8660/pinleaf2");
  EXPECT_EQ(s.id, "");
  EXPECT_EQ(s.password, "");
  EXPECT_EQ(s.hotkeyCode, 0);
  EXPECT_TRUE(s.autoCopy);
  EXPECT_EQ(s.hotkeyModifiers, 0);
  EXPECT_FALSE(s.snapSource) << "a snap notes nothing of its source until asked to";
  EXPECT_TRUE(s.secretGuard);
  EXPECT_FALSE(fs::exists(path_)) << "loading never creates the file";
}

TEST_F(SettingsFile, HotkeyValueForms) {
  const std::pair<const char*, int> cases[] = {{"65", 65}, {"$41", 65}, {"0x41", 65}, {"0X41", 65}, {" 65", 65},
                                               {"0x", 0},  {"A1", 0},   {"", 0},      {"x41", 65},  {"-3", -3}};
  for (const auto& [text, code] : cases) {
    WriteRaw(std::string("[setting]\r\nhotkey=") + text + "\r\n");
    EXPECT_EQ(LoadSettings(path_).hotkeyCode, code) << '"' << text << '"';
  }
}

TEST_F(SettingsFile, AutoCopyIsOnUnlessZero) {
  const std::pair<const char*, bool> cases[] = {{"0", false}, {"1", true}, {"2", true}, {"yes", true}, {"0x0", false}};
  for (const auto& [text, on] : cases) {
    WriteRaw(std::string("[setting]\r\nhotkey_autocopy=") + text + "\r\n");
    EXPECT_EQ(LoadSettings(path_).autoCopy, on) << '"' << text << '"';
  }
}

TEST_F(SettingsFile, PresentButEmptyUrlIsKeptEmpty) {
  WriteRaw("[globalsetting]\r\nini_online_url=\r\n");
  EXPECT_EQ(LoadSettings(path_).url, "");
}

TEST_F(SettingsFile, SaveThenLoadRoundTripsEverySetting) {
  TSettings s;
  s.url = "http://example.test:81/base";
  s.id = "user@example";
  s.password = "p a&s+s=%\x7f\xe9";
  s.hotkeyCode = 0x7A;
  s.autoCopy = false;
  s.hotkeyModifiers = 6;
  SaveSettings(path_, s);
  TSettings r = LoadSettings(path_);
  EXPECT_EQ(r.url, s.url);
  EXPECT_EQ(r.id, s.id);
  EXPECT_EQ(r.password, s.password);
  EXPECT_EQ(r.hotkeyCode, s.hotkeyCode);
  EXPECT_EQ(r.autoCopy, s.autoCopy);
  EXPECT_EQ(r.hotkeyModifiers, s.hotkeyModifiers);

  std::ifstream in(path_, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string raw = ss.str();
  // The password is kept where the system keeps secrets, not in the file.
  EXPECT_EQ(raw.find("ini_online_pass="), std::string::npos) << raw;
  if (platform::SecretKeeper() == platform::TSecretKeeper::Sealing) {
    EXPECT_NE(raw.find("ini_online_pass_protected="), std::string::npos) << raw;
  }
  EXPECT_NE(raw.find("hotkey=122"), std::string::npos);
  EXPECT_NE(raw.find("hotkey_autocopy=0"), std::string::npos);
}

// The pinned certificate is set only by hand: the settings window's save
// keeps it, and it is read as written (the client normalises it).
TEST_F(SettingsFile, TheHandSetCertificatePinSurvivesASave) {
  WriteRaw(
      "[globalsetting]\r\nini_online_url=https://notes.example/pinleaf2\r\n"
      "ini_online_cert_sha256=A8:6E:44:a5\r\n[setting]\r\nhotkey=65\r\n");
  TSettings s = LoadSettings(path_);
  EXPECT_EQ(s.certSha256, "A8:6E:44:a5");
  s.id = "someone";
  s.hotkeyCode = 66;
  SaveSettings(path_, s);
  EXPECT_EQ(LoadSettings(path_).certSha256, "A8:6E:44:a5");
  EXPECT_EQ(LoadSettings(path_).id, "someone");
}

TEST_F(SettingsFile, EmptyPasswordIsSavedAsAnEmptyValue) {
  TSettings s;
  SaveSettings(path_, s);
  std::ifstream in(path_, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_NE(ss.str().find("ini_online_pass=\r\n"), std::string::npos) << ss.str();
  EXPECT_EQ(LoadSettings(path_).password, "");
}

TEST_F(SettingsFile, MalformedPasswordEscapeIsUsedUndecoded) {
  WriteRaw("[globalsetting]\r\nini_online_pass=ab%4\r\n");
  EXPECT_EQ(LoadSettings(path_).password, ScrambleText("ab%4", 617));
}

TEST_F(SettingsFile, FailedWriteNamesTheFile) {
  std::string bad = (dir_ / "missing" / "ini.ini").string();
  try {
    SaveSettings(bad, TSettings{});
    FAIL() << "no error";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(e.Message(), bad + " に書き込めません");
  }
}

TEST(SettingsPathTest, SitsBesideTheExecutable) {
  std::string p = SettingsPath();
  ASSERT_GE(p.size(), 8u);
  EXPECT_EQ(p.substr(p.size() - 7), "ini.ini");
  char sep = p[p.size() - 8];
  EXPECT_TRUE(sep == '/' || sep == '\\') << p;
}
