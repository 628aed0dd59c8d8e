// Desktop services through their front headers only: the same cases run over
// the in-process desktop and, cross-built, against the real Windows functions.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/clipboard.h"
#include "platform/input.h"
#include "platform/shell.h"
#include "platform/window.h"
#include "runtime/codepage.h"

using namespace platform;

namespace {

struct Recorder {
  std::vector<Message> seen;
  WindowHandle window = 0;
  explicit Recorder(WindowKind kind = WindowKind::Hidden) {
    window = NewWindow(kind, 0, [this](Message& m) {
      if (m.msg < wm::User) return false;  // the system's own traffic
      seen.push_back(m);
      m.result = static_cast<std::intptr_t>(m.wParam) * 2;
      return true;
    });
  }
  ~Recorder() { FreeWindow(window); }
};

void Drain() {
  while (PumpMessage(false) == Pumped::Message) {
  }
}

TEST(DesktopWindows, CaptionsStateAndLifetime) {
  WindowHandle form = NewWindow(WindowKind::Form, 0, [](Message&) { return false; });
  ASSERT_NE(form, 0u);
  WindowHandle box = NewWindow(WindowKind::CheckBox, form, [](Message&) { return false; });
  WindowHandle edit = NewWindow(WindowKind::Edit, form, [](Message&) { return false; });

  const std::string japanese = "ショートカットにしたいキーを押してください";
  SetWindowCaption(form, japanese);
  EXPECT_EQ(WindowCaption(form), japanese);
  SetWindowCaption(edit, "http://localhost:8660/pinleaf2");
  EXPECT_EQ(WindowCaption(edit), "http://localhost:8660/pinleaf2");

  EXPECT_FALSE(Checked(box));
  SetChecked(box, true);
  EXPECT_TRUE(Checked(box));
  SetWindowEnabled(edit, false);
  EXPECT_FALSE(WindowEnabled(edit));
  SetWindowVisible(edit, true);
  EXPECT_TRUE(WindowVisible(edit));

  FreeWindow(form);
  EXPECT_FALSE(WindowExists(form));
  EXPECT_FALSE(WindowExists(edit)) << "children go with their parent";
  EXPECT_EQ(SendToWindow(edit, wm::User, 1, 0), 0) << "a freed window answers nothing";
}

TEST(DesktopWindows, SentAndPostedMessages) {
  Drain();
  Recorder r;
  EXPECT_EQ(SendToWindow(r.window, wm::User + 1, 21, 5), 42);
  ASSERT_EQ(r.seen.size(), 1u);
  EXPECT_EQ(r.seen[0].lParam, 5);

  ASSERT_TRUE(PostToWindow(r.window, wm::User + 2, 1, 0));
  ASSERT_TRUE(PostToWindow(r.window, wm::User + 3, 2, 0));
  EXPECT_EQ(r.seen.size(), 1u) << "posted messages wait for the pump";
  Drain();
  ASSERT_EQ(r.seen.size(), 3u);
  EXPECT_EQ(r.seen[1].msg, wm::User + 2u);
  EXPECT_EQ(r.seen[2].msg, wm::User + 3u);
  EXPECT_EQ(PumpMessage(false), Pumped::Nothing);

  // A quit message, even one posted to a window, is the loop's and not the window's.
  ASSERT_TRUE(PostToWindow(r.window, wm::Quit, 0, 0));
  ASSERT_TRUE(PostToWindow(r.window, wm::User + 4, 3, 0));
  EXPECT_EQ(PumpMessage(true), Pumped::Quit);
  EXPECT_EQ(r.seen.size(), 3u);
  Drain();
  ASSERT_EQ(r.seen.size(), 4u);
  EXPECT_EQ(r.seen[3].msg, wm::User + 4u);
}

TEST(DesktopWindows, PostFromWorkerWakesWaitingPump) {
  Drain();
  Recorder r;
  std::thread worker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    PostToWindow(r.window, wm::User + 7, 9, 0);
  });
  while (r.seen.empty()) EXPECT_NE(PumpMessage(true), Pumped::Quit);
  worker.join();
  EXPECT_EQ(r.seen[0].wParam, 9u);
}

TEST(DesktopWindows, PostToFreedWindowIsRefused) {
  WindowHandle w = NewWindow(WindowKind::Hidden, 0, [](Message&) { return true; });
  FreeWindow(w);
  EXPECT_FALSE(PostToWindow(w, wm::User, 0, 0));
}

TEST(DesktopHotKeys, RegistrationIsExclusive) {
  Recorder a, b;
  const unsigned mods = 1 | 2 | 4, key = 0x78;  // Ctrl+Alt+Shift+F9
  ASSERT_TRUE(RegisterGlobalHotKey(a.window, 304, mods, key));
  EXPECT_FALSE(RegisterGlobalHotKey(b.window, 305, mods, key)) << "a combination belongs to one window";
  EXPECT_TRUE(UnregisterGlobalHotKey(a.window, 304));
  EXPECT_FALSE(UnregisterGlobalHotKey(a.window, 304)) << "already gone";
  EXPECT_TRUE(RegisterGlobalHotKey(b.window, 305, mods, key));
  EXPECT_TRUE(UnregisterGlobalHotKey(b.window, 305));
}

TEST(DesktopKeys, ScanCodeOfC) { EXPECT_EQ(MapKeyCode('C', 0), 0x2Eu); }

TEST(DesktopClipboard, TextInBothForms) {
  const std::string utf8 = "選択範囲 text";
  const std::string system = ts::Utf8ToSystem(utf8);
  ASSERT_TRUE(ClipboardSetText(system));
  EXPECT_TRUE(ClipboardHasFormat(ClipboardFormat::Text));
  EXPECT_TRUE(ClipboardHasFormat(ClipboardFormat::UnicodeText));
  auto text = ClipboardText();
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, system);
  auto unicode = ClipboardUnicodeText();
  ASSERT_TRUE(unicode.has_value());
  EXPECT_EQ(*unicode, ts::Utf8ToUtf16(utf8));
  // Reading again gives the same: a read does not consume the clipboard.
  EXPECT_EQ(ClipboardText().value_or(""), system);
}

TEST(DesktopShell, VersionsAndRecordSizes) {
  EXPECT_GE(Shell32MajorVersion(), 5);
  EXPECT_GE(PlatformVersion().major, 5u);
  // The 5.0 layout adds the state, the balloon fields and a longer tip.
  EXPECT_GE(NotifyIconSizeV5() - NotifyIconSizeV1(), 64u + 8u + 256u + 4u + 64u + 4u);
}

TEST(DesktopShell, NotificationAreaAddModifyDelete) {
  Recorder r;
  NotifyIconData d;
  d.cbSize = NotifyIconSizeV5();
  d.hWnd = r.window;
  d.uID = 77;
  d.uFlags = nif::Message | nif::Icon | nif::Tip;
  d.uCallbackMessage = 0x4C8;
  d.hIcon = ApplicationIcon();
  std::snprintf(d.szTip, sizeof d.szTip, "desktop test");
  uint32_t error = 0;
  ASSERT_TRUE(ShellNotifyIcon(nim::Add, d, &error)) << error;
  EXPECT_FALSE(ShellNotifyIcon(nim::Add, d, &error)) << "the same icon cannot be added twice";
  d.uFlags = nif::State;
  d.dwState = nis::Hidden;
  d.dwStateMask = nis::Hidden | nis::SharedIcon;
  EXPECT_TRUE(ShellNotifyIcon(nim::Modify, d, &error));
  EXPECT_TRUE(ShellNotifyIcon(nim::Delete, d, &error));
  EXPECT_FALSE(ShellNotifyIcon(nim::Delete, d, &error)) << "already deleted";
  EXPECT_FALSE(ShellNotifyIcon(nim::Modify, d, &error)) << "an unknown icon cannot be modified";
}

}  // namespace
