// Saving the settings on Linux: one whole file at a time, private to the user.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/settings.h"
#include "platform/file.h"
#include "platform/headless/desktop.h"
#include "tests/support/scratch.h"

using namespace ts;

namespace {

// Every save different from every other: a reader's view is whole when its
// ID, password and hotkey belong to its URL.
TSettings Variant(int n) {
  TSettings s;
  s.url = "http://v" + std::to_string(n) + ".example/pinleaf2";
  s.id = "id-" + std::to_string(n) + std::string(40, 'i');
  s.password = "pw-" + std::to_string(n) + std::string(30, 'p');
  s.hotkeyCode = n;
  return s;
}

}  // namespace

// A reader (textsnap send) that reads while the tray client saves sees the
// old settings or the new ones, never a mix nor a cut file; a save keeps
// what the user set by hand, leaves no draft behind, and makes the file
// readable by its owner only, also when it was not.
TEST(SettingsSave, ReadersSeeWholeSettingsAndTheFileIsTheUsersAlone) {
  const auto dir = testscratch::CaseFolder("textsnap-settings-save");
  const std::string path = (dir / "ini.ini").string();
  std::ofstream(path, std::ios::binary) << "; mine\r\n[globalsetting]\r\nini_online_cert_sha256=ab:cd\r\n"
                                        << "[setting]\r\nhistory=0\r\n";
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  // The file alone: with a keyring the password would live beside it.
  platform::headless::SetKeyringAvailable(false);
  SaveSettings(path, Variant(0));

  std::atomic<bool> done{false};
  int mixed = 0, reads = 0;
  std::thread reader([&] {
    while (!done) {
      const TSettings seen = LoadSettings(path);
      ++reads;
      const TSettings whole = Variant(std::atoi(seen.url.c_str() + 8));
      if (seen.url != whole.url || seen.id != whole.id || seen.password != whole.password ||
          seen.hotkeyCode != whole.hotkeyCode)
        ++mixed;
    }
  });
  for (int i = 1; i <= 100; ++i) SaveSettings(path, Variant(i));
  done = true;
  reader.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(mixed, 0) << "of " << reads << " reads";

  const TSettings last = LoadSettings(path);
  EXPECT_EQ(last.certSha256, "ab:cd");
  EXPECT_FALSE(last.keepHistory);
  EXPECT_NE(platform::ReadWholeFile(path)->find("; mine"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(path + ".new"));
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  platform::headless::SetKeyringAvailable(true);
  std::filesystem::remove_all(dir);
}

namespace {
std::string FileText(const std::string& path) { return platform::ReadWholeFile(path).value_or(""); }
}  // namespace

// The password (and the device's token) live in the keyring when one answers,
// sealed in the file where the system seals, and in the file as before only
// without either; a file of the older kind is read, and the next save moves
// the secret out of it.
TEST(SettingsSave, ThePasswordLivesInTheKeyringOrSealedAndTheFileOnlyWithoutEither) {
  namespace hl = platform::headless;
  hl::ResetDesktop();
  const auto dir = testscratch::CaseFolder("textsnap-settings-secret");
  const std::string path = (dir / "ini.ini").string();
  const std::string legacy = "ini_online_pass=" + PercentEncode(ScrambleText("old secret", kPasswordKey));
  std::ofstream(path, std::ios::binary) << "[globalsetting]\r\nini_online_url=http://svc/p\r\nini_online_id=me\r\n"
                                        << legacy << "\r\n";
  TSettings s = LoadSettings(path);
  EXPECT_EQ(s.password, "old secret") << "an older version's file is read";
  s.token = "tok-123";
  EXPECT_FALSE(SaveSettings(path, s));
  EXPECT_EQ(FileText(path).find("ini_online_pass"), std::string::npos) << FileText(path);
  EXPECT_EQ(FileText(path).find("ini_online_token"), std::string::npos);
  std::string kept;
  ASSERT_EQ(platform::LoadSecret("http://svc/p", "me", kept), platform::TSecretResult::Done);
  EXPECT_EQ(kept, "old secret");
  ASSERT_EQ(platform::LoadSecret("http://svc/p device token", "me", kept), platform::TSecretResult::Done);
  EXPECT_EQ(kept, "tok-123");
  TSettings back = LoadSettings(path);
  EXPECT_EQ(back.password, "old secret");
  EXPECT_EQ(back.token, "tok-123");

  // Another account: the old one's entry goes, the new one's is kept.
  back.id = "you";
  back.password = "new secret";
  SaveSettings(path, back);
  EXPECT_EQ(platform::LoadSecret("http://svc/p", "me", kept), platform::TSecretResult::NotFound);
  EXPECT_EQ(LoadSettings(path).password, "new secret");

  // No keyring on this session: the file, as before, and said once.
  hl::SetKeyringAvailable(false);
  EXPECT_TRUE(SaveSettings(path, back)) << "the user is told";
  EXPECT_NE(FileText(path).find("ini_online_pass=" + PercentEncode(ScrambleText("new secret", kPasswordKey))),
            std::string::npos);
  EXPECT_FALSE(SaveSettings(path, back)) << "told once";
  EXPECT_EQ(LoadSettings(path).password, "new secret");
  hl::SetKeyringAvailable(true);

  // Where the system seals: the sealed bytes in the file, never the password;
  // bytes changed or sealed elsewhere give no password (typed again).
  hl::SetSecretKeeper(platform::TSecretKeeper::Sealing);
  EXPECT_FALSE(SaveSettings(path, back));
  const std::string sealedText = FileText(path);
  EXPECT_EQ(sealedText.find("ini_online_pass="), std::string::npos) << sealedText;
  EXPECT_NE(sealedText.find("ini_online_pass_protected="), std::string::npos);
  EXPECT_NE(sealedText.find("ini_online_token_protected="), std::string::npos);
  EXPECT_EQ(sealedText.find("new secret"), std::string::npos);
  EXPECT_EQ(LoadSettings(path).password, "new secret");
  std::string tampered = sealedText;
  tampered.replace(tampered.find("ini_online_pass_protected=") + 26, 4, "AAAA");
  std::ofstream(path, std::ios::binary | std::ios::trunc) << tampered;
  EXPECT_EQ(LoadSettings(path).password, "");
  hl::ResetDesktop();
  std::filesystem::remove_all(dir);
}
