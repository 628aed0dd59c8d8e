// Where the program keeps its settings when its own folder cannot be written,
// and what a second start of the program does, over the in-process desktop.
#include <algorithm>

#include "app/startup.h"
#include "platform/instance.h"
#include "platform/module.h"
#include "runtime/codepage.h"
#include "shell_support.h"

namespace ts::testing {
namespace {

// The main window as the program creates it: the settings where it finds them.
class TPlacedForm1 : public TForm1 {
public:
  explicit TPlacedForm1(TComponent* owner) : TForm1(owner) {}
};

class Placement : public ShellTest {
protected:
  void SetUp() override {
    ShellTest::SetUp();
    program_ = dir_ / "program";
    user_ = dir_ / "roaming";
    std::filesystem::create_directories(program_);
    std::filesystem::create_directories(user_);
    hl::SetModuleFileName((program_ / "textsnap.exe").string());
    hl::SetUserDataFolder(user_.string());
  }
  static void Write(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
  }
  std::filesystem::path Beside() const { return program_ / "ini.ini"; }
  std::filesystem::path Own() const { return user_ / "text snap" / "ini.ini"; }
  // Runs the program until Quit; `during` runs while its window is up.
  void RunAndQuit(const std::function<void(TForm1&)>& during = nullptr) {
    TScript script;
    script.Then([&] {
      auto* form = dynamic_cast<TForm1*>(Application->MainForm());
      ASSERT_NE(form, nullptr);
      if (during) during(*form);
      ChooseFromTrayMenu("Quit");
    });
    EXPECT_EQ(RunTextSnap<TPlacedForm1>(), 0);
    EXPECT_EQ(script.Ran(), 1u);
    hl::ReleaseInstance(kInstanceName);  // the program has ended
  }

  std::filesystem::path program_, user_;
};

TEST_F(Placement, AWritableProgramFolderKeepsTheSettingsBesideTheProgram) {
  Write(Beside(), "[globalsetting]\r\nini_online_id=portable\r\n");
  TSettingsLocation at = FindSettingsLocation();
  EXPECT_EQ(at.readPath, Beside().string());
  EXPECT_EQ(at.writePath, Beside().string());
  EXPECT_EQ(SettingsFolder(), (program_ / "").string());
  RunAndQuit([](TForm1& form) {
    EXPECT_EQ(form.Edit1->Text(), "portable");
    hl::TypeText(form.Edit1->Handle(), "changed");
  });
  EXPECT_EQ(LoadSettings(Beside().string()).id, "changed");
  EXPECT_FALSE(std::filesystem::exists(user_ / "text snap")) << "nothing in the user's folder";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(program_), {}), 1) << "no probe left behind";
}

TEST_F(Placement, AReadOnlyProgramFolderMovesTheSettingsToTheUsersFolder) {
  // Installed by someone else with settings of their choosing beside it.
  Write(Beside(), "[globalsetting]\r\nini_online_id=preset\r\n[setting]\r\nhotkey=120\r\nhotkey_shift=6\r\n");
  hl::SetFolderReadOnly(program_.string(), true);
  EXPECT_EQ(SettingsFolder(), (user_ / "text snap" / "").string());

  // The first run reads the preset; Quit saves into a folder of its own, made
  // for it, and ends without an error.
  RunAndQuit([](TForm1& form) {
    EXPECT_EQ(form.Edit1->Text(), "preset");
    EXPECT_EQ(form.HotKeyCode, 120);
    hl::TypeText(form.Edit1->Handle(), "mine");
  });
  EXPECT_TRUE(hl::MessageBoxes().empty()) << BoxTexts().front();
  ASSERT_TRUE(std::filesystem::exists(Own()));
  TSettings own = LoadSettings(Own().string());
  EXPECT_EQ(own.id, "mine");
  EXPECT_EQ(own.hotkeyCode, 120);
  EXPECT_EQ(own.hotkeyModifiers, 6);
  EXPECT_EQ(LoadSettings(Beside().string()).id, "preset") << "the preset is left as it was";

  // From then on the user's own file counts.
  RunAndQuit([](TForm1& form) { EXPECT_EQ(form.Edit1->Text(), "mine"); });
  TSettingsLocation at = FindSettingsLocation();
  EXPECT_EQ(at.readPath, Own().string());
  EXPECT_EQ(at.writePath, Own().string());

  // Made writable again (portable use), the folder beside the program wins.
  hl::SetFolderReadOnly(program_.string(), false);
  EXPECT_EQ(FindSettingsLocation().writePath, Beside().string());
}

TEST_F(Placement, NotesKeptBeforeTheFirstSaveLandInTheUsersFolder) {
  // Deployed with complete settings beside it, so the user never saves any:
  // the user's folder does not exist when the first note has to be kept.
  Write(Beside(),
        "[globalsetting]\r\nini_online_url=http://127.0.0.1:1/pinleaf2\r\nini_online_id=preset\r\n"
        "[setting]\r\nhotkey=120\r\nhotkey_shift=6\r\nhotkey_autocopy=0\r\n");
  hl::SetFolderReadOnly(program_.string(), true);
  std::vector<std::string> boxes;
  TScript script;
  script
      .Then([&] {
        hl::SetClipboardUnicodeText(u"kept before any save");
        ASSERT_TRUE(hl::PressHotKey(6, 120));
      })
      .Then([&] {
        // The service cannot be reached: the note is kept, not lost.
        EXPECT_EQ(LastBalloonTitle(), "kept: 1 waiting");
        boxes = BoxTexts();
        EXPECT_TRUE(std::filesystem::exists(user_ / "text snap" / "outbox.dat"));
        EXPECT_TRUE(std::filesystem::exists(user_ / "text snap" / "history.dat"));
        ChooseFromTrayMenu("Quit");
      });
  EXPECT_EQ(RunTextSnap<TPlacedForm1>(), 0);
  EXPECT_EQ(script.Ran(), 2u);
  ASSERT_EQ(boxes.size(), 1u) << "the network error only";
  EXPECT_EQ(boxes[0].find("NOT kept"), std::string::npos) << boxes[0];
  EXPECT_FALSE(std::filesystem::exists(program_ / "outbox.dat"));
}

TEST_F(Placement, AFailedSaveNamesAJapanesePathReadably) {
  if (SystemCodePage() != 932) GTEST_SKIP() << "needs a Japanese system code page";
  // The user's folder lies under "ソフト表" (both with a trail byte 0x5C), which
  // does not exist: the settings cannot be written anywhere.
  const std::string japanese = "\x83\x5c\x83\x74\x83\x67\x95\x5c";
  hl::SetFolderReadOnly(program_.string(), true);
  hl::SetUserDataFolder(user_.string() + "/" + japanese);
  TScript script;
  script.Then([&] { ChooseFromTrayMenu("Quit"); }).Then([&] {
    ASSERT_EQ(hl::MessageBoxes().size(), 1u);
    // Message boxes take UTF-8: the path arrives converted, not as Shift-JIS bytes.
    EXPECT_EQ(hl::MessageBoxes()[0].text, user_.string() + "/ソフト表/text snap/ini.ini に書き込めません.");
    EXPECT_FALSE(Application->Terminated());
    std::filesystem::create_directories(user_ / japanese);
    ChooseFromTrayMenu("Quit");
  });
  EXPECT_EQ(RunTextSnap<TPlacedForm1>(), 0);
  EXPECT_EQ(script.Ran(), 2u);
  EXPECT_TRUE(std::filesystem::exists(user_ / japanese / "text snap" / "ini.ini"))
      << "Quit works once the folder can be made";
}

TEST_F(Placement, ASecondStartTellsTheRunningProgramAndEnds) {
  int secondResult = -1;
  TScript script;
  script
      .Then([&] {
        ASSERT_EQ(hl::TrayIcons().size(), 1u);
        TForm* running = Application->MainForm();
        // Started again in the same session (the sign-in start and a double-click).
        secondResult = RunTextSnap<TPlacedForm1>();
        EXPECT_EQ(hl::TrayIcons().size(), 1u) << "no second icon";
        EXPECT_EQ(Application->MainForm(), running) << "the running program's application stays";
      })
      .Then([&] {
        // The running one was told and says so at its icon.
        uint32_t flags = 0;
        EXPECT_EQ(LastBalloonTitle(&flags), kAlreadyRunningTitle);
        EXPECT_EQ(flags & 3u, platform::niif::Info);
        EXPECT_STREQ(hl::TrayIcons()[0].szInfo, kAlreadyRunningText);
        ChooseFromTrayMenu("Quit");
      });
  EXPECT_EQ(RunTextSnap<TPlacedForm1>(), 0);
  EXPECT_EQ(script.Ran(), 2u);
  EXPECT_EQ(secondResult, 0);
  EXPECT_EQ(std::count_if(hl::NotifyIconCalls().begin(), hl::NotifyIconCalls().end(),
                          [](const hl::NotifyIconCall& c) { return c.command == platform::nim::Add; }),
            1);

  // Once the first has ended, a new start runs normally.
  hl::ReleaseInstance(kInstanceName);
  RunAndQuit([](TForm1&) { EXPECT_EQ(hl::TrayIcons().size(), 1u); });
}

}  // namespace
}  // namespace ts::testing
