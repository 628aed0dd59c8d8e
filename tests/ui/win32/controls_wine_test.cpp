// The toolkit over real windows: dialog keys, clicks through the system's
// buttons, modal display, errors escaping handlers and a real global hotkey.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/input.h"
#include "runtime/exception.h"
#include "ui/application.h"
#include "ui/controls.h"
#include "ui/forms.h"

using namespace ts;

namespace {

constexpr uint32_t kButtonClick = 0x00F5;  // makes a system button click itself

struct Dialog : TForm {
  explicit Dialog(TComponent* owner) : TForm(owner) {
    SetCaption("setting");
    SetBorderStyle(TBorderStyle::bsToolWindow);
    SetBorderIcons(false);
    SetClientSize(300, 200);
    int top = 10;
    for (auto* c : std::initializer_list<TWinControl*>{edit1, edit2, ok, check}) {
      c->SetParent(this);
      c->SetBounds(10, top, 200, 24);
      top += 30;
    }
    ok->SetCaption("OK");
    ok->SetDefault(true);
    check->SetCaption("alt");
  }
  TEdit* edit1 = new TEdit(this);
  TEdit* edit2 = new TEdit(this);
  TButton* ok = new TButton(this);
  TCheckBox* check = new TCheckBox(this);
  std::vector<uintptr_t> hotkeys;

protected:
  bool WndProc(platform::Message& m) override {
    if (m.msg == platform::wm::HotKey) {
      hotkeys.push_back(m.wParam);
      return true;
    }
    return TForm::WndProc(m);
  }
};

class WineUi : public ::testing::Test {
protected:
  void SetUp() override {
    app = new TApplication;
    app->SetTitle("text snap for pinleaf online");
    // A real message box would wait for a user; the errors are collected instead.
    app->OnException = [this](TObject*, const std::exception& e) { errors.push_back(e.what()); };
  }
  void TearDown() override { delete app; }
  void Pump(int milliseconds = 150) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
      app->ProcessMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  TApplication* app = nullptr;
  std::vector<std::string> errors;
};

TEST_F(WineUi, DialogKeysTabEnterAndSystemKeys) {
  auto* f = app->CreateForm<Dialog>();
  int clicks = 0;
  f->ok->OnClick = [&](TObject*) { ++clicks; };
  std::vector<std::pair<uint16_t, TShiftState>> keys;
  f->edit2->OnKeyDown = [&](TObject*, uint16_t& key, TShiftState shift) { keys.emplace_back(key, shift); };
  f->Show();
  f->edit1->SetFocus();
  Pump();
  ASSERT_TRUE(f->edit1->Focused());

  platform::PostToWindow(f->edit1->Handle(), platform::wm::KeyDown, 9, 0);
  Pump();
  EXPECT_TRUE(f->edit2->Focused()) << "Tab follows the focus order";

  platform::PostToWindow(f->edit2->Handle(), platform::wm::SysKeyDown, 'X', 0x20000000);
  platform::PostToWindow(f->edit2->Handle(), platform::wm::KeyDown, 13, 0);
  platform::PostToWindow(f->edit2->Handle(), platform::wm::KeyDown, 27, 0);
  Pump();
  EXPECT_EQ(clicks, 1) << "Enter presses the default button";
  ASSERT_EQ(keys.size(), 2u) << "Enter never reaches the edit";
  EXPECT_EQ(keys[0].first, 'X');
  EXPECT_TRUE(keys[0].second & ssAlt);
  EXPECT_EQ(keys[1].first, 27) << "Escape is an ordinary key";
  EXPECT_TRUE(f->Visible());
}

TEST_F(WineUi, SystemButtonClicksReachHandlers) {
  auto* f = app->CreateForm<Dialog>();
  f->Show();
  int changes = 0;
  f->check->OnClick = [&](TObject*) { ++changes; };
  platform::SendToWindow(f->check->Handle(), kButtonClick, 0, 0);
  Pump();
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(f->check->Checked());
  f->SetCaption("↑このエリアをクリックして、");
  EXPECT_EQ(f->Caption(), "↑このエリアをクリックして、");
}

TEST_F(WineUi, LayoutOfASettingsLikeForm) {
  auto* f = new TForm(app);
  f->SetCaption("setting");
  f->SetBorderStyle(TBorderStyle::bsToolWindow);
  f->SetBorderIcons(false);
  f->SetClientSize(487, 442);
  f->Position = TPosition::poDesktopCenter;
  auto* url = new TEdit(f);
  auto* password = new TEdit(f);
  auto* check = new TCheckBox(f);
  auto* label = new TLabel(f);
  auto* ok = new TButton(f);
  for (TWinControl* c : std::initializer_list<TWinControl*>{url, password, check, label, ok}) c->SetParent(f);
  url->SetBounds(32, 72, 361, 38);
  url->Font().SetHeight(14);
  url->SetText("http://localhost:8660/pinleaf2");
  password->SetBounds(32, 200, 361, 38);
  password->Font().SetHeight(30);
  password->SetPasswordChar('*');
  password->SetText("secret");
  check->SetBounds(40, 256, 361, 33);
  check->SetCaption("Ctrl + C （ショートカット） を自動で押してから送信する");
  const std::string twoLines = "↑このエリアをクリックして、\rショートカットにしたいキーを押してください";
  label->SetBounds(40, 330, 0, 0);
  label->Font().SetHeight(10);
  label->SetCaption(twoLines);
  ok->SetBounds(296, 380, 161, 57);
  ok->SetCaption("OK");
  ok->Font().SetBold(true);
  ok->SetDefault(true);
  f->Show();
  Pump();
  // Held on screen when asked, so that a screenshot can be taken of it.
  if (const char* hold = std::getenv("TS_UI_HOLD_MS")) Pump(std::atoi(hold));

  EXPECT_EQ(label->Caption(), twoLines);
  platform::Point one = label->TextExtent("↑このエリアをクリックして、");
  EXPECT_GT(one.y, 0);
  EXPECT_GE(label->Height(), 2 * one.y) << "the label took the size of both lines";
  EXPECT_EQ(password->Text(), "secret") << "the password character only masks the display";
  platform::Rect b = platform::WindowBounds(password->Handle());
  EXPECT_EQ(b.left, 32);
  EXPECT_EQ(b.top, 200);
  EXPECT_EQ(b.width, 361);
  EXPECT_EQ(b.height, 38);
  EXPECT_TRUE(f->Visible());
}

TEST_F(WineUi, ModalDisplayEndsWithButtonsResult) {
  auto* main = app->CreateForm<Dialog>();
  auto* dlg = app->CreateForm<Dialog>();
  main->Show();
  dlg->ok->ModalResult = mrOk;
  bool mainDisabled = false;
  dlg->ok->OnClick = [&](TObject*) { mainDisabled = !main->Enabled(); };
  dlg->Position = TPosition::poScreenCenter;
  platform::PostToWindow(dlg->ok->Handle(), kButtonClick, 0, 0);
  EXPECT_EQ(dlg->ShowModal(), mrOk);
  EXPECT_TRUE(mainDisabled);
  EXPECT_TRUE(main->Enabled());
  EXPECT_FALSE(dlg->Visible());
}

TEST_F(WineUi, ErrorInHandlerIsCaughtAndLoopGoesOn) {
  auto* f = app->CreateForm<Dialog>();
  f->Show();
  f->ok->OnClick = [](TObject*) { throw Exception("Socket Error # 10061"); };
  platform::PostToWindow(f->ok->Handle(), kButtonClick, 0, 0);
  platform::PostToWindow(f->Handle(), platform::wm::Close, 0, 0);
  app->Run();  // the close after the error still arrives and ends the loop
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Socket Error # 10061");
  EXPECT_TRUE(app->Terminated());
}

TEST_F(WineUi, GlobalHotKeyReachesHiddenForm) {
  auto* f = app->CreateForm<Dialog>();
  const unsigned mods = 2 | 4, vk = 0x78;  // Ctrl+Shift+F9
  ASSERT_TRUE(platform::RegisterGlobalHotKey(f->Handle(), 304, mods, vk));
  for (uint32_t flags : {0u, 2u}) {
    if (flags == 0) {
      platform::SendKeyEvent(0x11, 0, 0, 0);
      platform::SendKeyEvent(0x10, 0, 0, 0);
      platform::SendKeyEvent(vk, 0, 0, 0);
    } else {
      platform::SendKeyEvent(vk, 0, 2, 0);
      platform::SendKeyEvent(0x10, 0, 2, 0);
      platform::SendKeyEvent(0x11, 0, 2, 0);
    }
  }
  Pump(300);
  platform::UnregisterGlobalHotKey(f->Handle(), 304);
  ASSERT_EQ(f->hotkeys.size(), 1u);
  EXPECT_EQ(f->hotkeys[0], 304u);
  EXPECT_FALSE(f->Visible());
}

}  // namespace
