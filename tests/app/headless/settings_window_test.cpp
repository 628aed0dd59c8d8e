// The settings window: its layout, what showing it does, capturing the
// hotkey, OK, Default, CREATE ID, and the ways it closes.
#include "app/startup.h"
#include "runtime/codepage.h"
#include "shell_support.h"

namespace ts::testing {
namespace {

using hl::Inspect;

class SettingsWindow : public ShellTest {
protected:
  // Shows the window modally from the tray menu and runs `steps` inside it.
  int ShowWith(TTestForm1& form, std::vector<std::function<void()>> steps) {
    TScript script;
    for (auto& step : steps) script.Then(step);
    int result = form.ShowModal();
    EXPECT_EQ(script.Ran(), script.Count()) << "the window closed before every step ran";
    return result;
  }
  static void Key(unsigned vk, unsigned modifiers = 0) { hl::PressKey(vk, modifiers); }
};

TEST_F(SettingsWindow, EveryControlSitsAtItsPlaceWithItsCaptionAndFont) {
  TTestForm1& f = Start();
  auto form = *Inspect(f.Handle());
  EXPECT_EQ(form.caption, "setting");
  EXPECT_TRUE(form.toolWindow);
  EXPECT_FALSE(form.borderIcons) << "no system menu, no close box";
  EXPECT_EQ(form.clientWidth, 487);
  EXPECT_EQ(form.clientHeight, 442);
  EXPECT_EQ(form.font.name, "ＭＳ Ｐゴシック");
  EXPECT_EQ(form.font.charset, 128);
  EXPECT_EQ(form.font.height, -12);

  struct Row {
    TWinControl* control;
    int left, top, width, height;  // width 0: sized by its text
    const char* caption;
    int fontHeight;
  };
  const Row rows[] = {
      {f.Button4, 32, 16, 361, 33, "CREATE ID / 新規アカウント作成", -12},
      {f.Label1, 32, 56, 0, 0, "url", -12},
      {f.Edit3, 32, 72, 361, 38, nullptr, 14},
      {f.Button3, 400, 72, 65, 41, "Default", -12},
      {f.Label2, 32, 120, 0, 0, "ID", -12},
      {f.Edit1, 32, 136, 361, 38, nullptr, 30},
      {f.Label3, 32, 184, 0, 0, "PASSWORD", -12},
      {f.Edit2, 32, 200, 361, 38, nullptr, 30},
      {f.CheckBox4, 40, 256, 425, 33, "Ctrl + C （ショートカット） を自動で押してから送信する", -12},
      {f.Label5, 56, 296, 0, 0, "選択範囲を作成してホットキーを押すだけで、選択内容が送信されます", -12},
      {f.Label4, 40, 328, 0, 0, "hotkey code", -12},
      {f.Edit4, 40, 344, 57, 57, nullptr, 20},
      {f.CheckBox1, 112, 344, 97, 16, "alt", -12},
      {f.CheckBox2, 112, 360, 97, 16, "ctl", -12},
      {f.CheckBox3, 112, 376, 97, 16, "shift", -12},
      {f.Button2, 296, 344, 161, 57, "OK", -12},
      {f.Label6, 40, 408, 0, 0, nullptr, 10},
  };
  for (const Row& row : rows) {
    auto info = *Inspect(row.control->Handle());
    SCOPED_TRACE(row.control->Name());
    EXPECT_EQ(info.parent, f.Handle());
    EXPECT_EQ(info.bounds.left, row.left);
    EXPECT_EQ(info.bounds.top, row.top);
    if (row.width) {
      EXPECT_EQ(info.bounds.width, row.width);
      EXPECT_EQ(info.bounds.height, row.height);
    } else {
      EXPECT_GT(info.bounds.width, 0);
      EXPECT_GT(info.bounds.height, 0);
      EXPECT_LE(info.bounds.left + info.bounds.width, 487) << "inside the client area";
      EXPECT_LE(info.bounds.top + info.bounds.height, 442);
    }
    if (row.caption) {
      EXPECT_EQ(info.caption, row.caption);
    }
    EXPECT_EQ(info.font.name, "ＭＳ Ｐゴシック");
    EXPECT_EQ(info.font.charset, 128);
    EXPECT_EQ(info.font.height, row.fontHeight);
    EXPECT_EQ(info.font.bold, row.control == f.Button2);
  }
  EXPECT_EQ(Inspect(f.Edit2->Handle())->passwordChar, '*');
  EXPECT_TRUE(Inspect(f.Edit4->Handle())->readOnly);
  EXPECT_TRUE(Inspect(f.Button2->Handle())->isDefault);
  for (TLabel* label : {f.Label1, f.Label2, f.Label3, f.Label4, f.Label5, f.Label6})
    EXPECT_TRUE(label->AutoSize()) << "a label's box holds its whole text";
  EXPECT_FALSE(f.Edit3->AutoSize);
  EXPECT_FALSE(f.Edit4->AutoSize);
  // The caption of Label6 breaks its line with a carriage return alone.
  std::string six = f.Label6->Caption();
  ASSERT_NE(six.find('\r'), std::string::npos);
  EXPECT_EQ(six.find('\n'), std::string::npos);
  EXPECT_EQ(six.substr(six.find('\r') + 1), "ショートカットにしたいキーを押してください");

  // Reading order, top to bottom and left to right; each edit's label just
  // before it. Tab passes over the labels.
  std::vector<platform::WindowHandle> readingOrder;
  for (TWinControl* c : std::initializer_list<TWinControl*>{f.Button4, f.Label1, f.Edit3, f.Button3, f.Label2, f.Edit1,
                                                            f.Label3, f.Edit2, f.CheckBox4, f.Label5, f.Label4, f.Edit4,
                                                            f.CheckBox1, f.CheckBox2, f.CheckBox3, f.Button2, f.Label6})
    readingOrder.push_back(c->Handle());
  EXPECT_EQ(form.tabSequence, readingOrder);
  EXPECT_EQ(hl::AccessibleName(f.Edit4->Handle()), "hotkey code: ショートカットにしたいキーを押してください")
      << "the hotkey box says what to do in it";
}

TEST_F(SettingsWindow, ShowingFillsTheHotKeyBoxesAndUnregistersTheHotKey) {
  WriteIni("[setting]\r\nhotkey=65\r\nhotkey_shift=6\r\n");
  TTestForm1& f = Start();
  ASSERT_EQ(hl::HotKeys().size(), 1u);
  hl::TypeText(f.Edit3->Handle(), "typed before showing");
  ShowWith(f, {[&] {
             EXPECT_TRUE(f.Visible());
             EXPECT_TRUE(Inspect(f.Handle())->centered);
             EXPECT_TRUE(f.Edit1->Focused()) << "the focus starts in the first box";
             EXPECT_TRUE(hl::HotKeys().empty());
             EXPECT_EQ(f.Edit4->Text(), "65");
             EXPECT_FALSE(f.CheckBox1->Checked());
             EXPECT_TRUE(f.CheckBox2->Checked());
             EXPECT_TRUE(f.CheckBox3->Checked());
             EXPECT_EQ(f.Edit3->Text(), "typed before showing") << "not refilled";
             // Tab walks the window as it is read, and round again.
             f.Button4->SetFocus();
             for (TWinControl* c : std::initializer_list<TWinControl*>{f.Button4, f.Edit3, f.Button3, f.Edit1, f.Edit2,
                                                                       f.CheckBox4, f.Edit4, f.CheckBox1, f.CheckBox2,
                                                                       f.CheckBox3, f.Button2, f.Button4}) {
               EXPECT_TRUE(c->Focused()) << c->Name();
               Key(9);
             }
             hl::ClickControl(f.Button2->Handle());
           }});
}

TEST_F(SettingsWindow, TheHotKeyBoxTakesEveryKeyAndOkRegistersItWithTheCheckedModifiers) {
  TTestForm1& f = Start();
  int result = ShowWith(f, {[&] {
                              EXPECT_EQ(f.Edit4->Text(), "0") << "no hotkey yet";
                              f.Edit4->SetFocus();
                              Key(17, 2);
                              EXPECT_EQ(f.Edit4->Text(), "17");
                              Key('X', 1);  // with Alt: a system key
                              EXPECT_EQ(f.Edit4->Text(), "88");
                              Key(121);  // F10 is a system key too
                              EXPECT_EQ(f.Edit4->Text(), "121");
                              Key(27);  // Escape does not close the window
                              EXPECT_EQ(f.Edit4->Text(), "27");
                              Key(116, 6);  // Ctrl+Shift+F5: the key counts, not what was held
                              EXPECT_EQ(f.Edit4->Text(), "116");
                              hl::ClickControl(f.CheckBox1->Handle());
                            },
                            [&] {
                              EXPECT_TRUE(f.Visible()) << "Escape left it open";
                              f.Edit4->SetFocus();
                              Key(13);  // Enter presses OK
                            }});
  EXPECT_EQ(result, mrOk);
  EXPECT_FALSE(f.Visible());
  auto keys = hl::HotKeys();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].window, f.Handle());
  EXPECT_EQ(keys[0].id, 304);
  EXPECT_EQ(keys[0].modifiers, 1u);
  EXPECT_EQ(keys[0].virtualKey, 116u);
  TSettings saved = Saved();
  EXPECT_EQ(saved.hotkeyCode, 116);
  EXPECT_EQ(saved.hotkeyModifiers, 1);
  EXPECT_TRUE(hl::MessageBoxes().empty());
}

TEST_F(SettingsWindow, OkTriesTheRegistrationEvenForCodeZeroAndReportsARefusal) {
  WriteIni("[setting]\r\nhotkey=65\r\nhotkey_shift=2\r\n");
  TTestForm1& f = Start();
  // Another program takes the combination while the window is open.
  ShowWith(f, {[&] {
             hl::SetHotKeyTaken(2, 65, true);
             hl::ClickControl(f.Button2->Handle());
           }});
  EXPECT_FALSE(f.Visible()) << "closes whatever the answer";
  ASSERT_EQ(hl::MessageBoxes().size(), 1u);
  EXPECT_EQ(hl::MessageBoxes()[0].text, "Error : Failed to register hotkey");
  EXPECT_EQ(hl::MessageBoxes()[0].caption, "Error");
  EXPECT_EQ(hl::MessageBoxes()[0].style, platform::mb::Ok) << "no icon";
  EXPECT_EQ(hl::MessageBoxes()[0].owner, f.Handle());
  EXPECT_EQ(Saved().hotkeyCode, 65) << "the refused key is saved anyway";
  EXPECT_TRUE(hl::HotKeys().empty());

  // "0" in the box clears the hotkey, and the registration is still attempted.
  hl::SetHotKeyTaken(2, 65, false);
  ShowWith(f, {[&] {
             EXPECT_EQ(f.Edit4->Text(), "65");
             // The box is read-only; "0" is what showing writes for no hotkey.
             platform::SetWindowCaption(f.Edit4->Handle(), "0");
             hl::ClickControl(f.Button2->Handle());
           }});
  EXPECT_EQ(f.HotKeyCode, 0);
  auto keys = hl::HotKeys();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].virtualKey, 0u);
  EXPECT_EQ(Saved().hotkeyCode, 0);
}

TEST_F(SettingsWindow, DefaultAndCreateId) {
  TTestForm1& f = Start();
  ShowWith(f, {[&] {
             hl::TypeText(f.Edit3->Handle(), "http://elsewhere.test/x");
             hl::ClickControl(f.Button4->Handle());
             ASSERT_EQ(hl::ShellOpens().size(), 1u);
             auto open = hl::ShellOpens()[0];
             EXPECT_EQ(open.file, "http://localhost:8660/pinleaf2/users/add") << "always the default service";
             EXPECT_EQ(open.owner, 0u);
             EXPECT_EQ(open.verb, "");
             EXPECT_EQ(open.parameters, "");
             EXPECT_EQ(open.directory, "");
             EXPECT_EQ(open.showCommand, platform::kShowNormal);
             EXPECT_EQ(f.Edit3->Text(), "http://elsewhere.test/x");
             EXPECT_FALSE(IniExists()) << "nothing is saved before the window closes";
             hl::ClickControl(f.Button3->Handle());
             EXPECT_EQ(f.Edit3->Text(), "http://localhost:8660/pinleaf2");
             hl::ClickControl(f.Button2->Handle());
           }});
  EXPECT_EQ(Saved().url, "http://localhost:8660/pinleaf2");
}

TEST_F(SettingsWindow, QuitWhileShownOnlyCancelsTheWindowAndKeepsTheHotKeyUnregistered) {
  WriteIni("[setting]\r\nhotkey=120\r\nhotkey_shift=4\r\n");
  TScript script;
  TTestForm1* f = nullptr;
  script
      .Then([&] {
        f = dynamic_cast<TTestForm1*>(Application->MainForm());
        ChooseFromTrayMenu("Settings...");
      })
      .Then([&] {
        ASSERT_TRUE(f->Visible());
        EXPECT_TRUE(f->Modal());
        hl::TypeText(f->Edit3->Handle(), "http://changed.test/p");
        hl::TypeText(f->Edit2->Handle(), "pässwörd");
        f->Edit4->SetFocus();
        Key(65);  // not confirmed with OK: the hotkey stays as it was
        // "Settings..." again while the window is shown.
        ChooseFromTrayMenu("Settings...");
      })
      .Then([&] {
        ASSERT_EQ(hl::MessageBoxes().size(), 1u);
        EXPECT_EQ(hl::MessageBoxes()[0].text, "表示されているウィンドウをモーダルにすることはできません.");
        EXPECT_EQ(hl::MessageBoxes()[0].caption, kApplicationTitle);
        EXPECT_TRUE(f->Visible()) << "the open window stays as it is";
        ChooseFromTrayMenu("Quit");
      })
      .Then([&] {
        EXPECT_FALSE(f->Visible());
        EXPECT_FALSE(Application->Terminated()) << "the program stays in the tray";
        TSettings saved = Saved();
        EXPECT_EQ(saved.url, "http://changed.test/p");
        EXPECT_EQ(saved.password, Utf8ToSystem("pässwörd"));
        EXPECT_EQ(saved.hotkeyCode, 120);
        EXPECT_EQ(saved.hotkeyModifiers, 4);
        EXPECT_TRUE(hl::HotKeys().empty()) << "unregistered until OK";
        EXPECT_FALSE(hl::PressHotKey(4, 120));
        ChooseFromTrayMenu("Settings...");
      })
      .Then([&] { hl::ClickControl(f->Button2->Handle()); })
      .Then([&] {
        ASSERT_EQ(hl::HotKeys().size(), 1u);
        EXPECT_EQ(hl::HotKeys()[0].virtualKey, 120u);
        // Any other request to close the window while shown is a cancel too.
        ChooseFromTrayMenu("Settings...");
      })
      .Then([&] { platform::PostToWindow(f->Handle(), platform::wm::Close, 0, 0); })
      .Then([&] {
        EXPECT_FALSE(f->Visible());
        EXPECT_FALSE(Application->Terminated());
        ChooseFromTrayMenu("Quit");
      });
  EXPECT_EQ(RunTextSnap<TTestForm1>(), 0);
  EXPECT_EQ(script.Ran(), script.Count());
}

TEST_F(SettingsWindow, AFailedWriteKeepsTheWindowOpenAndOkTriesAgain) {
  NextSettingsPath() = (dir_ / "missing" / "ini.ini").string();
  TTestForm1& f = Start();
  int result = ShowWith(f, {[&] { hl::ClickControl(f.Button2->Handle()); },
                            [&] {
                              EXPECT_TRUE(f.Visible());
                              EXPECT_TRUE(f.Modal());
                              ASSERT_EQ(hl::MessageBoxes().size(), 1u);
                              EXPECT_NE(hl::MessageBoxes()[0].text.find(" に書き込めません."), std::string::npos);
                              std::filesystem::create_directories(dir_ / "missing");
                              hl::ClickControl(f.Button2->Handle());
                            }});
  EXPECT_EQ(result, mrOk);
  EXPECT_FALSE(f.Visible());
  EXPECT_TRUE(std::filesystem::exists(NextSettingsPath()));
}

}  // namespace
}  // namespace ts::testing
