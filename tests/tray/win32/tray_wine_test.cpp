// The tray icon against the real shell: the icon is added, changed, given a
// balloon and deleted; callback messages reach the right icon; the popup
// menu opens and its item click arrives.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/input.h"
// The shell's balloon as a screen reader meets it: the system's accessible
// object of a window of another process.
#include <windows.h>
// after windows.h, which it needs
#include <oleacc.h>
#include "platform/shell.h"
#include "runtime/codepage.h"
#include "tray/trayicon.h"
#include "ui/application.h"

using namespace ts;

namespace {

class WineTray : public ::testing::Test {
protected:
  void SetUp() override {
    app = new TApplication;
    app->SetTitle("text snap for pinleaf online");
    form = app->CreateForm<TForm>();
  }
  void TearDown() override { delete app; }
  TTrayIcon* NewIcon() {
    auto* icon = new TTrayIcon(form);
    icon->SetTipHelp("text snap for pinleaf online");
    icon->SetVisible(true);
    return icon;
  }
  // Whether the shell holds the icon: a second add of it is refused.
  static bool ShellHolds(TTrayIcon* icon) {
    platform::NotifyIconData d = icon->NotifyRecord();
    d.hWnd = TCallbackWindow::Instance()->Handle();
    d.uFlags = platform::nif::Message;
    uint32_t error = 0;
    if (!platform::ShellNotifyIcon(platform::nim::Add, d, &error)) return true;
    platform::ShellNotifyIcon(platform::nim::Delete, d, &error);
    return false;
  }
  void Pump(int milliseconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
      app->ProcessMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  TApplication* app = nullptr;
  TForm* form = nullptr;
};

TEST_F(WineTray, AddedChangedGivenBalloonAndDeleted) {
  TTrayIcon* icon = NewIcon();
  EXPECT_GE(icon->Shell32Version(), 5);
  EXPECT_TRUE(icon->NewerWindows());
  ASSERT_TRUE(icon->Registered());
  EXPECT_TRUE(ShellHolds(icon));

  TIcon info;
  info.SetHandle(platform::CopyIconHandle(platform::StockIcon(1)));
  icon->SetIcon(&info);
  icon->SetTipHelp("text snap: changed tip");
  EXPECT_NO_THROW(icon->ShowBalloon(biifInfo, "complete!", Utf8ToSystem("選択範囲を送信しました...")));
  // Held on screen when asked, so that a screenshot can be taken of it.
  if (const char* hold = std::getenv("TS_TRAY_HOLD_MS")) {
    std::printf("balloon shown\n");
    std::fflush(stdout);
    Pump(std::atoi(hold));
  }
  EXPECT_NO_THROW(icon->ShowBalloon(biifError, "wait 1 sec."));

  icon->SetVisible(false);  // hidden by state, still held
  EXPECT_TRUE(icon->Registered());
  icon->SetVisible(true);
  icon->ShellNotify(TTrayIcon::ncDelete);
  EXPECT_FALSE(icon->Registered());
  EXPECT_FALSE(ShellHolds(icon));
}

// The visible top-level windows: whether one is ours, and, for the others,
// what the system's accessible object names the tooltip windows.
struct ShownWindows {
  bool ours = false;
  std::vector<std::string> tooltipNames;
};
BOOL CALLBACK Collect(HWND h, LPARAM into) {
  auto* shown = reinterpret_cast<ShownWindows*>(into);
  if (!::IsWindowVisible(h)) return TRUE;
  DWORD process = 0;
  ::GetWindowThreadProcessId(h, &process);
  if (process == ::GetCurrentProcessId()) {
    shown->ours = true;
    return TRUE;
  }
  wchar_t cls[64] = {};
  ::GetClassNameW(h, cls, 64);
  IAccessible* accessible = nullptr;
  if (_wcsicmp(cls, L"tooltips_class32") != 0 ||
      ::AccessibleObjectFromWindow(h, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                                   reinterpret_cast<void**>(&accessible)) != S_OK)
    return TRUE;
  VARIANT self;
  ::VariantInit(&self);
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  BSTR name = nullptr;
  if (accessible->get_accName(self, &name) == S_OK && name)
    shown->tooltipNames.push_back(Utf16ToUtf8(std::u16string(name, name + ::SysStringLen(name))));
  ::SysFreeString(name);
  accessible->Release();
  return TRUE;
}

TEST_F(WineTray, TheShellDrawsTheBalloonAndAScreenReaderReadsItsText) {
  ASSERT_EQ(::CoInitialize(nullptr), S_OK);
  TTrayIcon* icon = NewIcon();
  const std::string text = "選択範囲を送信しました (balloon read aloud)";
  icon->ShowBalloon(biifInfo, "complete!", Utf8ToSystem(text));
  ShownWindows shown;
  // The shell shows a balloon a moment after it is asked for.
  for (int i = 0; i < 100; ++i) {
    Pump(100);
    shown = ShownWindows{};
    ::EnumWindows(Collect, reinterpret_cast<LPARAM>(&shown));
    if (std::find(shown.tooltipNames.begin(), shown.tooltipNames.end(), text) != shown.tooltipNames.end()) break;
  }
  EXPECT_NE(std::find(shown.tooltipNames.begin(), shown.tooltipNames.end(), text), shown.tooltipNames.end())
      << "no window of the shell reads the balloon's text";
  EXPECT_FALSE(shown.ours) << "the program draws nothing of its own";
  icon->ShellNotify(TTrayIcon::ncDelete);
  ::CoUninitialize();
}

TEST_F(WineTray, PostedCallbackReachesTheRightIcon) {
  TTrayIcon* a = NewIcon();
  TTrayIcon* b = NewIcon();
  std::vector<std::string> seen;
  a->OnDblClick = [&](TObject*) { seen.push_back("a dbl"); };
  b->OnDblClick = [&](TObject*) { seen.push_back("b dbl"); };
  TObject* balloonSender = nullptr;
  b->OnBalloonClick = [&](TObject* s) {
    balloonSender = s;
    seen.push_back("b balloon");
  };
  platform::WindowHandle cb = TCallbackWindow::Instance()->Handle();
  platform::PostToWindow(cb, kTrayCallbackMessage, static_cast<uintptr_t>(b->IconID()), platform::wm::LButtonDblClk);
  platform::PostToWindow(cb, kTrayCallbackMessage, static_cast<uintptr_t>(b->IconID()),
                         platform::nin::BalloonUserClick);
  platform::PostToWindow(cb, kTrayCallbackMessage, 4242, platform::wm::LButtonDblClk);
  Pump(200);
  EXPECT_EQ(seen, (std::vector<std::string>{"b dbl", "b balloon"}));
  EXPECT_EQ(balloonSender, b);
  EXPECT_EQ(TCallbackWindow::Instance()->CurrentIcon(), b);
}

TEST_F(WineTray, SingleClickArrivesAfterTheDoubleClickTime) {
  TTrayIcon* icon = NewIcon();
  int clicks = 0;
  icon->OnClick = [&](TObject*) { ++clicks; };
  platform::PostToWindow(TCallbackWindow::Instance()->Handle(), kTrayCallbackMessage,
                         static_cast<uintptr_t>(icon->IconID()), platform::wm::LButtonUp);
  Pump(50);
  EXPECT_TRUE(icon->ClickPending());
  EXPECT_EQ(clicks, 0);
  // The worker's end notice comes back through the GUI thread's queue.
  Pump(static_cast<int>(platform::DoubleClickTime()) + 1000);
  EXPECT_EQ(clicks, 1);
  EXPECT_FALSE(icon->ClickPending());
}

TEST_F(WineTray, PopupMenuOpensAndItsClickArrives) {
  TTrayIcon* icon = NewIcon();
  auto* menu = new TPopupMenu(form);
  auto* setting = new TMenuItem(form);
  auto* sep = new TMenuItem(form);
  auto* quit = new TMenuItem(form);
  setting->Caption = "Settings...";
  sep->Caption = std::string(1, '-');  // (a one-byte literal trips a false -Wrestrict in GCC 12)
  quit->Caption = "Quit";
  for (auto* i : {setting, sep, quit}) menu->Add(i);
  icon->SetRBPopupMenu(menu);
  std::vector<std::string> clicked;
  setting->OnClick = [&](TObject*) { clicked.push_back("setting"); };
  quit->OnClick = [&](TObject*) { clicked.push_back("quit"); };

  // While the menu is tracked, a helper thread works its keys: down twice
  // (over the separator to "Quit"), then Enter. Should the menu not take
  // them, Escape closes it so that the test cannot hang.
  std::atomic<bool> opening{false}, done{false};
  menu->OnPopup = [&](TObject*) { opening = true; };
  platform::WindowHandle owner = app->Handle();
  std::thread keys([&] {
    for (int i = 0; i < 500 && !opening; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (unsigned vk : {0x28u, 0x28u, 0x0Du}) {
      platform::PostToWindow(owner, platform::wm::KeyDown, vk, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (int i = 0; i < 300 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done) platform::PostToWindow(owner, platform::wm::KeyDown, 0x1B, 0);
  });
  platform::PostToWindow(TCallbackWindow::Instance()->Handle(), kTrayCallbackMessage,
                         static_cast<uintptr_t>(icon->IconID()), platform::wm::RButtonUp);
  Pump(200);
  done = true;
  keys.join();
  Pump(100);
  EXPECT_TRUE(opening);
  EXPECT_EQ(clicked, std::vector<std::string>{"quit"});
}

TEST_F(WineTray, TheShellSpeaksVersion4AndEnterOnTheIconOpensTheMenu) {
  TTrayIcon* icon = NewIcon();
  EXPECT_EQ(icon->NotifyVersion(), 4u) << "the shell took version 4";
  auto* menu = new TPopupMenu(form);
  auto* setting = new TMenuItem(form);
  auto* quit = new TMenuItem(form);
  setting->Caption = "Settings...";
  quit->Caption = "Quit";
  menu->Add(setting);
  menu->Add(quit);
  icon->SetRBPopupMenu(menu);
  std::vector<std::string> clicked;
  setting->OnClick = [&](TObject*) { clicked.push_back("setting"); };
  quit->OnClick = [&](TObject*) { clicked.push_back("quit"); };
  // The keys of a user at the open menu: down to the first item, Enter;
  // Escape should the menu not take them, so that the test cannot hang.
  std::atomic<int> opened{0};
  std::atomic<bool> done{false};
  menu->OnPopup = [&](TObject*) { ++opened; };
  platform::WindowHandle owner = app->Handle();
  std::thread keys([&] {
    for (int i = 0; i < 500 && !opened; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (unsigned vk : {0x28u, 0x0Du}) {
      platform::PostToWindow(owner, platform::wm::KeyDown, vk, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (int i = 0; i < 300 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done) platform::PostToWindow(owner, platform::wm::KeyDown, 0x1B, 0);
  });
  // Enter on the icon, as a shell of version 4 reports it (twice, as some
  // do): the icon's place in wParam, the event and the icon's ID in lParam.
  auto place = static_cast<uintptr_t>(300) | (static_cast<uintptr_t>(200) << 16);
  auto event = static_cast<intptr_t>(platform::nin::KeySelect | (static_cast<uint32_t>(icon->IconID()) << 16));
  platform::PostToWindow(TCallbackWindow::Instance()->Handle(), kTrayCallbackMessage, place, event);
  platform::PostToWindow(TCallbackWindow::Instance()->Handle(), kTrayCallbackMessage, place, event);
  Pump(300);
  done = true;
  keys.join();
  Pump(100);
  EXPECT_EQ(opened, 1) << "one menu for one key";
  EXPECT_EQ(clicked, std::vector<std::string>{"setting"});
}

}  // namespace
