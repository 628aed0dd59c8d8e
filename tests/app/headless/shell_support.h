// Shared by the window tests: a main window whose snap the test supplies, a
// scratch folder for the settings file, and a script of steps that run each
// time a message loop would wait.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/form1.h"
#include "app/settings.h"
#include "platform/headless/control.h"
#include "platform/headless/desktop.h"
#include "tests/support/scratch.h"
#include "ui/application.h"

namespace ts::testing {

namespace hl = platform::headless;

// The settings file the next test window uses.
inline std::string& NextSettingsPath() {
  static std::string path;
  return path;
}

class TTestForm1 : public TForm1 {
public:
  explicit TTestForm1(TComponent* owner) : TForm1(owner, NextSettingsPath()) {}
  std::function<void(TTestForm1&)> Snap;
  int Snaps = 0;
  void Button1Click(TObject*) override {
    ++Snaps;
    if (Snap) Snap(*this);
  }
};

// Steps run one by one whenever a loop has nothing to do; when they have run
// out the waiting loop fails the test instead of hanging.
class TScript {
public:
  TScript() {
    hl::SetIdleHandler([this] {
      if (next_ >= steps_.size()) return false;
      auto step = steps_[next_++];
      step();
      return true;
    });
  }
  ~TScript() { hl::SetIdleHandler(nullptr); }
  TScript& Then(std::function<void()> step) {
    steps_.push_back(std::move(step));
    return *this;
  }
  size_t Ran() const { return next_; }
  size_t Count() const { return steps_.size(); }

private:
  std::vector<std::function<void()>> steps_;
  size_t next_ = 0;
};

class ShellTest : public ::testing::Test {
protected:
  void SetUp() override {
    hl::ResetDesktop();
    hl::SetWaitLimit(2000);
    dir_ = testscratch::CaseFolder("textsnap-app");
    NextSettingsPath() = Ini();
  }
  void TearDown() override {
    form_ = nullptr;
    app_.reset();
    hl::ResetDesktop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string Ini() const { return (dir_ / "ini.ini").string(); }
  void WriteIni(const std::string& text) { std::ofstream(Ini(), std::ios::binary) << text; }
  bool IniExists() const { return std::filesystem::exists(dir_ / "ini.ini"); }
  TSettings Saved() const { return LoadSettings(Ini()); }

  // An application with the window created as the program creates it, without its loop.
  TTestForm1& Start() {
    app_ = std::make_unique<TApplication>();
    app_->ShowMainForm = false;
    app_->SetTitle(kApplicationTitle);
    form_ = app_->CreateForm<TTestForm1>();
    return *form_;
  }

  // The tray icon as the shell holds it now.
  static platform::NotifyIconData TrayRecord() {
    auto icons = hl::TrayIcons();
    EXPECT_EQ(icons.size(), 1u);
    return icons.empty() ? platform::NotifyIconData{} : icons[0];
  }
  // The command of the menu entry with this caption, in a submenu too (0: none).
  static int MenuCommand(const std::vector<platform::MenuEntry>& entries, const std::string& caption) {
    for (auto& e : entries) {
      if (e.caption == caption) return e.command;
      if (int inner = MenuCommand(e.submenu, caption)) return inner;
    }
    return 0;
  }
  // A right click on the tray icon that chooses the menu entry with this
  // caption, as the shell reports it to the callback window.
  static void ChooseFromTrayMenu(const std::string& caption) {
    hl::SetPopupHandler([caption](const hl::PopupRecord& r) { return MenuCommand(r.entries, caption); });
    auto record = TrayRecord();
    platform::PostToWindow(record.hWnd, record.uCallbackMessage, record.uID, platform::wm::RButtonUp);
  }
  static std::vector<std::string> BoxTexts() {
    std::vector<std::string> texts;
    for (auto& box : hl::MessageBoxes()) texts.push_back(box.text);
    return texts;
  }
  // The balloon title of the last balloon command sent to the shell.
  static std::string LastBalloonTitle(uint32_t* flags = nullptr) {
    for (auto it = hl::NotifyIconCalls().rbegin(); it != hl::NotifyIconCalls().rend(); ++it)
      if ((it->data.uFlags & platform::nif::Info) && it->data.szInfoTitle[0]) {
        if (flags) *flags = it->data.dwInfoFlags;
        return it->data.szInfoTitle;
      }
    return "";
  }
  static size_t BalloonCount() {
    size_t n = 0;
    for (auto& call : hl::NotifyIconCalls())
      if ((call.data.uFlags & platform::nif::Info) && call.data.szInfoTitle[0]) ++n;
    return n;
  }

  std::filesystem::path dir_;
  std::unique_ptr<TApplication> app_;
  TTestForm1* form_ = nullptr;
};

}  // namespace ts::testing
