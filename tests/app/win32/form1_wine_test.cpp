// The main window over real windows: the global hotkey from the keyboard,
// the settings window driven through the system's messages, and the
// session's end asked by the system.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "app/form1.h"
#include "app/settings.h"
#include "platform/input.h"
#include "tests/support/scratch.h"
#include "ui/application.h"

using namespace ts;

namespace {

constexpr uint32_t kButtonClick = 0x00F5;  // makes a system button click itself

std::string& NextSettingsPath() {
  static std::string path;
  return path;
}

class TTestForm1 : public TForm1 {
public:
  explicit TTestForm1(TComponent* owner) : TForm1(owner, NextSettingsPath()) {}
  std::function<void()> Snap;
  int Snaps = 0;
  std::atomic<int> HotKeyMessages{0};
  void Button1Click(TObject*) override {
    ++Snaps;
    if (Snap) Snap();
  }

protected:
  bool WndProc(platform::Message& m) override {
    if (m.msg == platform::wm::HotKey) ++HotKeyMessages;
    return TForm1::WndProc(m);
  }
};

class WineForm1 : public ::testing::Test {
protected:
  void SetUp() override {
    dir = testscratch::CaseFolder("textsnap-wine");
    NextSettingsPath() = (dir / "ini.ini").string();
    app = new TApplication;
    app->ShowMainForm = false;
    app->SetTitle(kApplicationTitle);
    // A real message box would wait for a user; the errors are collected instead.
    app->OnException = [this](TObject*, const std::exception& e) { errors.push_back(e.what()); };
  }
  void TearDown() override {
    delete app;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  void WriteIni(const std::string& text) { std::ofstream(NextSettingsPath(), std::ios::binary) << text; }
  TTestForm1& Start() { return *app->CreateForm<TTestForm1>(); }
  void PumpUntil(const std::function<bool()>& done, int milliseconds = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done() && std::chrono::steady_clock::now() < end) {
      app->ProcessMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // Whether another window could take the combination now.
  bool Free(unsigned modifiers, unsigned key) {
    TForm probe(nullptr);
    if (!platform::RegisterGlobalHotKey(probe.Handle(), 1, modifiers, key)) return false;
    platform::UnregisterGlobalHotKey(probe.Handle(), 1);
    return true;
  }
  static void Press(unsigned modifierKey, unsigned key) {
    platform::SendKeyEvent(static_cast<uint8_t>(modifierKey), 0, 0, 0);
    platform::SendKeyEvent(static_cast<uint8_t>(key), static_cast<uint8_t>(platform::MapKeyCode(key, 0)), 0, 0);
    platform::SendKeyEvent(static_cast<uint8_t>(key), static_cast<uint8_t>(platform::MapKeyCode(key, 0)), 2, 0);
    platform::SendKeyEvent(static_cast<uint8_t>(modifierKey), 0, 2, 0);
  }

  std::filesystem::path dir;
  TApplication* app = nullptr;
  std::vector<std::string> errors;
};

TEST_F(WineForm1, TheCopyKeystrokeMatchingTheHotKeyNeverStartsASnapInsideASnap) {
  WriteIni("[setting]\r\nhotkey=67\r\nhotkey_shift=2\r\n");  // Ctrl+C
  TTestForm1& f = Start();
  EXPECT_FALSE(Free(2, 67)) << "registered at start-up";
  f.Snap = [&] {
    // What the copy step does: Ctrl+C, and the messages processed meanwhile.
    Press(17, 67);
    PumpUntil([&] { return f.HotKeyMessages >= 2; });
  };
  Press(17, 67);
  PumpUntil([&] { return f.Snaps > 0 && !f.Snapping(); });
  EXPECT_EQ(f.HotKeyMessages, 2) << "the copy keystroke reached the window during the snap";
  EXPECT_EQ(f.Snaps, 1);
  EXPECT_TRUE(errors.empty());
}

TEST_F(WineForm1, TheSettingsWindowTakesAKeyAndOkRegistersIt) {
  WriteIni("[setting]\r\nhotkey=65\r\nhotkey_shift=6\r\n");
  TTestForm1& f = Start();
  EXPECT_FALSE(Free(6, 65));
  bool unregisteredWhileShown = false;
  f.CheckBox1->OnClick = [&](TObject*) { unregisteredWhileShown = Free(6, 65); };
  platform::PostToWindow(f.Edit4->Handle(), platform::wm::KeyDown, 0x77, 0);  // F8
  platform::PostToWindow(f.CheckBox1->Handle(), kButtonClick, 0, 0);
  platform::PostToWindow(f.Button2->Handle(), kButtonClick, 0, 0);
  EXPECT_EQ(f.ShowModal(), mrOk);
  EXPECT_TRUE(unregisteredWhileShown);
  EXPECT_FALSE(f.Visible());
  EXPECT_FALSE(Free(7, 0x77)) << "Alt, Ctrl and Shift with F8";
  EXPECT_TRUE(Free(6, 65));
  TSettings saved = LoadSettings(NextSettingsPath());
  EXPECT_EQ(saved.hotkeyCode, 0x77);
  EXPECT_EQ(saved.hotkeyModifiers, 7);
  EXPECT_TRUE(errors.empty());
  platform::UnregisterGlobalHotKey(f.Handle(), kHotKeyId);
}

TEST_F(WineForm1, ACloseSentFromElsewhereEndsTheSettingsWindowAsACancel) {
  WriteIni("[setting]\r\nhotkey=66\r\nhotkey_shift=6\r\n");
  TTestForm1& f = Start();
  platform::WindowHandle form = f.Handle(), ok = f.Button2->Handle();
  std::atomic<bool> done{false};
  // Another thread sends the close, which the waiting modal loop receives
  // without returning from its wait. Should the window not react, OK ends
  // it after a while so that the test fails instead of hanging.
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    platform::SendToWindow(form, platform::wm::Close, 0, 0);
    for (int i = 0; i < 100 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!done) platform::PostToWindow(ok, kButtonClick, 0, 0);
  });
  // The focus on a check box: an edit's blinking caret would wake the loop anyway.
  f.ActiveControl = f.CheckBox4;
  int result = f.ShowModal();
  done = true;
  sender.join();
  EXPECT_EQ(result, mrCancel);
  EXPECT_FALSE(app->Terminated()) << "the program stays in the tray";
  EXPECT_TRUE(std::filesystem::exists(NextSettingsPath())) << "the settings were written";
  EXPECT_TRUE(Free(6, 66)) << "the hotkey stays unregistered until OK";
}

TEST_F(WineForm1, TheEndOfTheSessionWritesTheSettingsAndAgrees) {
  TTestForm1& f = Start();
  f.Edit1->SetText("someone");
  EXPECT_EQ(platform::SendToWindow(f.Handle(), platform::wm::QueryEndSession, 0, 0), 1);
  EXPECT_EQ(LoadSettings(NextSettingsPath()).id, "someone");
  EXPECT_TRUE(errors.empty());
}

}  // namespace
