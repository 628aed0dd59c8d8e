// The program around the snap: start-up, the hotkey, quitting, log-off and
// the way errors reach the user, over the in-process desktop.
#include "app/startup.h"
#include "runtime/exception.h"
#include "shell_support.h"

namespace ts::testing {
namespace {

using platform::wm::HotKey;

TEST_F(ShellTest, StartUpWithoutHotKeyShowsOnlyTheTrayIconAndQuitWritesTheSettings) {
  WriteIni(
      "[globalsetting]\r\nini_online_url=http://example.test/p\r\nini_online_id=me\r\n"
      "[setting]\r\nhotkey=0\r\nhotkey_shift=6\r\nhotkey_autocopy=0\r\n");
  TTestForm1* seen = nullptr;
  TScript script;
  script.Then([&] {
    seen = dynamic_cast<TTestForm1*>(Application->MainForm());
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(Application->Title(), "text snap for pinleaf online");
    EXPECT_FALSE(seen->Visible()) << "the main window is never shown";
    EXPECT_TRUE(hl::HotKeys().empty()) << "code 0 registers nothing";
    auto tray = TrayRecord();
    EXPECT_STREQ(tray.szTip, "text snap for pinleaf online");
    EXPECT_EQ(tray.hIcon, platform::ApplicationIcon(16)) << "the program's own icon, at the small size of 96 dpi";
    EXPECT_EQ(seen->Edit3->Text(), "http://example.test/p");
    EXPECT_EQ(seen->Edit1->Text(), "me");
    EXPECT_FALSE(seen->CheckBox4->Checked());
    EXPECT_EQ(seen->HotKeyModifiers, 6);
    EXPECT_TRUE(seen->Button1->Enabled());
    hl::TypeText(seen->Edit1->Handle(), "changed");
    ChooseFromTrayMenu("Quit");
  });
  EXPECT_EQ(RunTextSnap<TTestForm1>(), 0);
  EXPECT_EQ(script.Ran(), 1u);
  // The quit wrote the live controls; the window and its tray icon are gone.
  TSettings saved = Saved();
  EXPECT_EQ(saved.id, "changed");
  EXPECT_EQ(saved.url, "http://example.test/p");
  EXPECT_FALSE(saved.autoCopy);
  EXPECT_EQ(saved.hotkeyModifiers, 6);
  EXPECT_TRUE(hl::TrayIcons().empty());
  ASSERT_FALSE(hl::Popups().empty());
  auto& entries = hl::Popups().back().entries;
  // Settings... first and Quit last; the outbox's entries between them
  // ("Send waiting notes" only while notes wait, none do here), then pairing
  // ("Forget this pairing" only while paired, which this device is not).
  ASSERT_EQ(entries.size(), 7u);
  EXPECT_EQ(entries[0].caption, "Settings...");
  EXPECT_EQ(entries[1].caption, "Recent snaps");
  ASSERT_EQ(entries[1].submenu.size(), 1u);
  EXPECT_FALSE(entries[1].submenu[0].enabled) << "an empty history";
  EXPECT_EQ(entries[2].caption, "Open notes page");
  EXPECT_EQ(entries[3].caption, "Note where it came from");
  EXPECT_FALSE(entries[3].checked) << "off until the user turns it on";
  EXPECT_EQ(entries[4].caption, "Pair with the service...");
  EXPECT_EQ(entries[5].caption, "-");
  EXPECT_EQ(entries[6].caption, "Quit");
}

// "Note where it came from" is a check item of the tray menu: each choice
// turns it over and is saved at once, keeping the keys set by hand.
TEST_F(ShellTest, TheSourceCheckItemTurnsOverAndIsSavedAtOnce) {
  WriteIni("[setting]\r\nhotkey=0\r\nhistory=0\r\nsecret_guard=0\r\n");
  TScript script;
  std::vector<bool> checked;
  auto menuShows = [&checked] {
    const auto& entries = hl::Popups().back().entries;
    for (const auto& e : entries)
      if (e.caption == "Note where it came from") checked.push_back(e.checked);
  };
  script.Then([&] { ChooseFromTrayMenu("Note where it came from"); })
      .Then([&] {
        menuShows();
        EXPECT_TRUE(Saved().snapSource);
        ChooseFromTrayMenu("Note where it came from");
      })
      .Then([&] {
        menuShows();
        EXPECT_FALSE(Saved().snapSource);
        ChooseFromTrayMenu("Note where it came from");
      })
      .Then([&] {
        menuShows();
        ChooseFromTrayMenu("Quit");
      });
  EXPECT_EQ(RunTextSnap<TTestForm1>(), 0);
  EXPECT_EQ(checked, (std::vector<bool>{false, true, false})) << "as the menu showed it before each choice";
  const TSettings saved = Saved();
  EXPECT_TRUE(saved.snapSource);
  EXPECT_FALSE(saved.keepHistory) << "a key set by hand stays";
  EXPECT_FALSE(saved.secretGuard);
}

TEST_F(ShellTest, StartUpRegistersTheStoredHotKeyAndToleratesARefusal) {
  WriteIni("[setting]\r\nhotkey=0x41\r\nhotkey_shift=6\r\n");
  TTestForm1& form = Start();
  auto keys = hl::HotKeys();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].window, form.Handle());
  EXPECT_EQ(keys[0].id, 304);
  EXPECT_EQ(keys[0].modifiers, 6u);
  EXPECT_EQ(keys[0].virtualKey, 65u);
  EXPECT_EQ(form.Label6->Caption(), "↑このエリアをクリックして、\rショートカットにしたいキーを押してください");

  // A second instance whose key another program holds starts silently.
  app_.reset();
  hl::ResetDesktop();
  hl::SetHotKeyTaken(6, 65, true);
  Start();
  EXPECT_TRUE(hl::HotKeys().empty());
  EXPECT_TRUE(hl::MessageBoxes().empty());
}

TEST_F(ShellTest, WithoutItsTrayIconTheProgramSaysWhyAndEnds) {
  // The shell refuses the icon: the program could be neither used nor quit.
  hl::ScriptNotifyIcon({{5}});
  EXPECT_EQ(RunTextSnap<TTestForm1>(), 1);
  ASSERT_EQ(hl::MessageBoxes().size(), 1u);
  // A double-byte last character, even a full stop of its own, sorts after ".".
  EXPECT_EQ(hl::MessageBoxes()[0].text, "タスクトレイにアイコンを登録できません。.");
  EXPECT_EQ(hl::MessageBoxes()[0].caption, kApplicationTitle);
  EXPECT_TRUE(hl::HotKeys().empty());
}

TEST_F(ShellTest, HotKeyDispatchRunsTheSnapOnlyForItsIdentifier) {
  WriteIni("[setting]\r\nhotkey=120\r\n");
  TTestForm1& form = Start();
  platform::SendToWindow(form.Handle(), HotKey, 305, 0);
  platform::SendToWindow(form.Handle(), HotKey, 0, 0);
  EXPECT_EQ(form.Snaps, 0);
  ASSERT_TRUE(hl::PressHotKey(0, 120));
  app_->ProcessMessages();
  EXPECT_EQ(form.Snaps, 1);
  EXPECT_EQ(BalloonCount(), 0u);
}

TEST_F(ShellTest, AnInterruptedSnapAnswersWaitAndRearmsWithoutAConnection) {
  TTestForm1& form = Start();
  form.Snap = [](TTestForm1& f) {
    f.Button1->SetEnabled(false);
    throw Exception("Socket Error # 10061\r\nConnection refused");
  };
  platform::SendToWindow(form.Handle(), HotKey, 304, 0);
  EXPECT_EQ(form.Snaps, 1);
  ASSERT_EQ(hl::MessageBoxes().size(), 1u);
  EXPECT_EQ(hl::MessageBoxes()[0].text, "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(hl::MessageBoxes()[0].caption, "text snap for pinleaf online");
  EXPECT_EQ(hl::MessageBoxes()[0].style, platform::mb::Ok | platform::mb::IconError);
  EXPECT_FALSE(form.Button1->Enabled());

  // The press answers "wait 1 sec."; the HTTP client holds no connection
  // whose close could still come, so the trigger is armed again for the next.
  platform::SendToWindow(form.Handle(), HotKey, 304, 0);
  uint32_t flags = 0;
  EXPECT_EQ(LastBalloonTitle(&flags), "wait 1 sec.");
  EXPECT_EQ(flags, platform::niif::Error | platform::niif::NoSound);
  EXPECT_STREQ(TrayRecord().szInfo, " ") << "the balloon text is left empty";
  EXPECT_EQ(form.Snaps, 1);
  EXPECT_TRUE(form.Button1->Enabled());
  form.Snap = nullptr;
  platform::SendToWindow(form.Handle(), HotKey, 304, 0);
  EXPECT_EQ(form.Snaps, 2);

  // The client's disconnected event is what arms the trigger otherwise.
  form.Button1->SetEnabled(false);
  form.NetHTTP1Disconnected(nullptr);
  EXPECT_TRUE(form.Button1->Enabled());
}

TEST_F(ShellTest, AHotKeyHandledWhileTheSnapPumpsMessagesIsIgnored) {
  WriteIni("[setting]\r\nhotkey=67\r\nhotkey_shift=2\r\n");
  TTestForm1& form = Start();
  bool snappingInside = false;
  form.Snap = [&](TTestForm1& f) {
    // As the copy step does: the synthesised Ctrl+C matches the hotkey and
    // the messages are processed while the trigger is still enabled.
    snappingInside = f.Snapping();
    EXPECT_TRUE(hl::PressHotKey(2, 67));
    EXPECT_TRUE(hl::PressHotKey(2, 67));
    Application->ProcessMessages();
  };
  ASSERT_TRUE(hl::PressHotKey(2, 67));
  app_->ProcessMessages();
  EXPECT_TRUE(snappingInside);
  EXPECT_EQ(form.Snaps, 1) << "no snap inside the running one";
  EXPECT_EQ(hl::PendingMessages(), 0u);
  EXPECT_EQ(BalloonCount(), 0u);
  EXPECT_FALSE(form.Snapping());

  // The next press after the snap has returned snaps again.
  ASSERT_TRUE(hl::PressHotKey(2, 67));
  form.Snap = nullptr;
  app_->ProcessMessages();
  EXPECT_EQ(form.Snaps, 2);
}

TEST_F(ShellTest, TheHotKeyStillWorksWhileAnErrorBoxIsOpen) {
  WriteIni("[setting]\r\nhotkey=120\r\n");
  TTestForm1& form = Start();
  form.Snap = [](TTestForm1& f) {
    f.Button1->SetEnabled(false);
    throw Exception("broken");
  };
  std::string balloonDuringBox;
  hl::SetMessageBoxHandler([&](const hl::MessageBoxRecord&) {
    // The box runs its own loop: a hotkey pressed now is dispatched.
    hl::PressHotKey(0, 120);
    Application->ProcessMessages();
    balloonDuringBox = LastBalloonTitle();
    return platform::mb::IdOk;
  });
  platform::SendToWindow(form.Handle(), HotKey, 304, 0);
  EXPECT_EQ(balloonDuringBox, "wait 1 sec.");
  EXPECT_EQ(form.Snaps, 1);
}

TEST_F(ShellTest, ErrorTextsGetAFullStopOnlyAfterCharactersThatSortAfterIt) {
  TTestForm1& form = Start();
  struct Case {
    std::string raised, shown;
  };
  const Case cases[] = {
      {"ends.", "ends."},
      {"ends!", "ends!"},
      {"(ends)", "(ends)"},
      {"ends\r\n", "ends\r\n"},
      {"ends in a letter", "ends in a letter."},
      {"code 404", "code 404."},
      {"クリップボードを開くことができません", "クリップボードを開くことができません."},
      {"", ""},
  };
  for (const Case& c : cases) {
    form.Snap = [&](TTestForm1&) { throw Exception(c.raised); };
    platform::SendToWindow(form.Handle(), HotKey, 304, 0);
  }
  std::vector<std::string> expected;
  for (const Case& c : cases) expected.push_back(c.shown);
  EXPECT_EQ(BoxTexts(), expected);
  for (auto& box : hl::MessageBoxes()) EXPECT_EQ(box.caption, kApplicationTitle);
  EXPECT_TRUE(form.Button1->Enabled()) << "an error before the trigger was disabled leaves it enabled";
}

TEST_F(ShellTest, AFailedWriteOnQuitKeepsTheProgramRunning) {
  // The settings file's folder does not exist: every write fails.
  NextSettingsPath() = (dir_ / "missing" / "ini.ini").string();
  TScript script;
  script.Then([&] { ChooseFromTrayMenu("Quit"); }).Then([&] {
    ASSERT_EQ(hl::MessageBoxes().size(), 1u);
    EXPECT_EQ(hl::MessageBoxes()[0].text, NextSettingsPath() + " に書き込めません.");
    EXPECT_EQ(hl::MessageBoxes()[0].style, platform::mb::Ok | platform::mb::IconError);
    EXPECT_FALSE(Application->Terminated());
    EXPECT_EQ(hl::TrayIcons().size(), 1u) << "still in the tray";
    std::filesystem::create_directories(dir_ / "missing");
    ChooseFromTrayMenu("Quit");
  });
  EXPECT_EQ(RunTextSnap<TTestForm1>(), 0);
  EXPECT_EQ(script.Ran(), 2u);
  EXPECT_TRUE(std::filesystem::exists(NextSettingsPath()));
}

TEST_F(ShellTest, LogOffWritesTheSettingsAndAgreesUnlessTheWriteFails) {
  TTestForm1& form = Start();
  hl::TypeText(form.Edit3->Handle(), "http://other.test/p");
  EXPECT_EQ(platform::SendToWindow(form.Handle(), platform::wm::QueryEndSession, 0, 0), 1);
  EXPECT_EQ(Saved().url, "http://other.test/p");
  EXPECT_FALSE(app_->Terminated()) << "agreeing does not end the program by itself";

  // A settings path that is a folder cannot be written.
  app_.reset();
  hl::ResetDesktop();
  NextSettingsPath() = dir_.string();
  TTestForm1& second = Start();
  EXPECT_EQ(platform::SendToWindow(second.Handle(), platform::wm::QueryEndSession, 0, 0), 0);
  ASSERT_EQ(hl::MessageBoxes().size(), 1u);
  EXPECT_NE(hl::MessageBoxes()[0].text.find("に書き込めません."), std::string::npos);
}

TEST_F(ShellTest, TheWindowHoldsEveryPartInTheOrderOfItsDefinition) {
  TTestForm1& form = Start();
  std::vector<std::string> names;
  for (int i = 0; i < form.ComponentCount(); ++i)
    if (!form.Components(i)->Name().empty()) names.push_back(form.Components(i)->Name());
  const std::vector<std::string> expected = {"Button1",   "Edit1",      "NetHTTP1",     "NetCookieManager1",
                                             "Memo1",     "Edit2",      "Edit3",        "Label1",
                                             "Label2",    "Label3",     "TrayIcon1",    "Button2",
                                             "Edit4",     "Label4",     "CheckBox1",    "CheckBox2",
                                             "CheckBox3", "PopupMenu1", "setting1",     "quit1",
                                             "N1",        "CheckBox4",  "Label5",       "Button3",
                                             "Label6",    "Button4",    "FileStorage1", "send1",
                                             "recent1",   "notes1",     "Timer1",       "source1",
                                             "pair1",     "forget1",    "Timer2"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(form.FileStorage1->StoredItems()->Count(), 2) << "the two cues";
  EXPECT_FALSE(form.Button1->Visible());
  EXPECT_FALSE(form.Memo1->Visible());
  EXPECT_EQ(form.LastSendTime(), 0u);
  EXPECT_TRUE(form.LastSentText().empty());
}

}  // namespace
}  // namespace ts::testing
