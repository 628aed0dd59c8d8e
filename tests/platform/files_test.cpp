// The file-system questions behind the settings file's place, and the
// session name and window mark of the one running program: the same cases on
// Linux and, under Wine, against the real Windows functions.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/folders.h"
#include "platform/instance.h"
#include "platform/module.h"

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

TEST(ProgramInstance, ANameIsClaimedOnceAndTheMarkedWindowIsFound) {
  const std::string name = "textsnap.test." + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "." +
                           std::to_string(reinterpret_cast<std::uintptr_t>(&name) & 0xFFFFF);
  EXPECT_TRUE(platform::ClaimSessionName(name));
  EXPECT_FALSE(platform::ClaimSessionName(name)) << "held already";

  EXPECT_EQ(platform::FindMarkedWindow(name), 0u) << "nothing marked yet";
  platform::WindowHandle window = platform::NewWindow(platform::WindowKind::Form, 0, nullptr);
  platform::WindowHandle other = platform::NewWindow(platform::WindowKind::Form, 0, nullptr);
  ASSERT_NE(window, 0u);
  platform::MarkWindow(window, name);
  EXPECT_EQ(platform::FindMarkedWindow(name), window) << "even while hidden";
  EXPECT_EQ(platform::FindMarkedWindow(name + ".other"), 0u);
  platform::FreeWindow(window);
  EXPECT_EQ(platform::FindMarkedWindow(name), 0u) << "the mark goes with its window";
  platform::FreeWindow(other);
}

}  // namespace
