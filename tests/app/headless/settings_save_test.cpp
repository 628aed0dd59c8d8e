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
  std::filesystem::remove_all(dir);
}
