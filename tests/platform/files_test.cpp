// The file-system questions behind the settings file's place, and the one
// running program of a session with the requests later starts hand it: the
// same cases on Linux and, under Wine, against the real Windows functions.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/folders.h"
#include "platform/instance.h"
#include "platform/module.h"
#include "platform/window.h"

namespace fs = std::filesystem;

namespace {

fs::path Scratch(const char* name) {
  fs::path dir = fs::temp_directory_path() /
                 ("ts-files-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" + name);
  fs::remove_all(dir);
  return dir;
}

TEST(ProgramFiles, FoldersAreProbedAndMadeWithoutLeavingAnything) {
  fs::path dir = Scratch("probe");
  EXPECT_FALSE(platform::FolderWritable(dir.string())) << "a missing folder";
  ASSERT_TRUE(platform::CreateFolder(dir.string()));
  EXPECT_TRUE(platform::CreateFolder(dir.string())) << "an existing folder is fine";
  EXPECT_TRUE(platform::FolderWritable(dir.string()));
  EXPECT_TRUE(platform::FolderWritable(dir.string() + "/")) << "with its separator";
  EXPECT_TRUE(fs::is_empty(dir)) << "the probe is gone again";

  EXPECT_FALSE(platform::FileExists((dir / "ini.ini").string()));
  std::ofstream((dir / "ini.ini").string()) << "[setting]\n";
  EXPECT_TRUE(platform::FileExists((dir / "ini.ini").string()));
  EXPECT_FALSE(platform::FileExists(dir.string())) << "a folder is no file";
  EXPECT_FALSE(platform::CreateFolder((dir / "ini.ini" / "sub").string())) << "under a file";
  EXPECT_FALSE(platform::FolderWritable((dir / "ini.ini").string())) << "a file is no folder";
  fs::remove_all(dir);

  std::string exe = platform::ModuleFileName();
  EXPECT_TRUE(platform::FileExists(exe)) << exe;
  EXPECT_FALSE(platform::UserDataFolder().empty());
}

// A later start asks the running one from another process; a thread of this
// one stands in for it while this thread pumps the running one's messages.
TEST(ProgramInstance, ANameIsClaimedOnceAndLaterStartsAreAnsweredByTheRunningOne) {
  const std::string name = "textsnap.test." + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "." +
                           std::to_string(reinterpret_cast<std::uintptr_t>(&name) & 0xFFFFF);
  EXPECT_FALSE(platform::AskInstance(name, "start", "", 200).has_value()) << "none runs yet";

  std::vector<std::pair<std::string, std::string>> served;
  ASSERT_TRUE(platform::ClaimInstance(name, [&](const std::string& command, const std::string& body) {
    served.emplace_back(command, body);
    if (command == "keep") return std::string("kept\r\nsecond line");
    return std::string();
  }));
  EXPECT_FALSE(platform::ClaimInstance(name, nullptr)) << "held already";

  // Asked on the running one's own thread, a request is served at once.
  EXPECT_EQ(platform::AskInstance(name, "start"), "ok") << "an empty answer arrives as ok";

  // Asked from elsewhere, it is served while the running one pumps.
  const char raw[] = "a note\0with \xE6\x97\xA5\n\r bytes";
  const std::string note(raw, sizeof raw - 1);
  std::string big(3u << 20, 'x');  // larger than a pipe's or a socket's buffer
  big[12345] = '\0';
  std::optional<std::string> keepAnswer, bigAnswer;
  // A window of the running one's thread, posted to when the asking is done.
  platform::WindowHandle waker = platform::NewWindow(platform::WindowKind::Hidden, 0, [](platform::Message& m) {
    return m.msg == platform::wm::User;  // the system's own messages take their default course
  });
  ASSERT_NE(waker, 0u);
  std::atomic<bool> asked{false};
  std::thread later([&] {
    keepAnswer = platform::AskInstance(name, "keep", note, 30000);
    bigAnswer = platform::AskInstance(name, "big", big, 30000);
    asked = true;
    platform::PostToWindow(waker, platform::wm::User, 0, 0);  // ends the pump's wait
  });
  while (!asked) platform::PumpMessage(true);
  later.join();
  platform::FreeWindow(waker);
  EXPECT_EQ(keepAnswer, "kept  second line") << "one line";
  EXPECT_EQ(bigAnswer, "ok");
  ASSERT_EQ(served.size(), 3u);
  EXPECT_EQ(served[0], std::make_pair(std::string("start"), std::string()));
  EXPECT_EQ(served[1], std::make_pair(std::string("keep"), note)) << "the body byte for byte";
  EXPECT_EQ(served[2].first, "big");
  EXPECT_TRUE(served[2].second == big) << served[2].second.size();

  EXPECT_FALSE(platform::AskInstance(name + ".other", "start", "", 200).has_value());
}

}  // namespace
