// The in-process desktop's own rules, which the tests of every upper layer
// lean on: hotkeys held by others, keystrokes and what they trigger, the
// clipboard's opens, and the simulated notification area.
#include <gtest/gtest.h>

#include "platform/clipboard.h"
#include "platform/headless/desktop.h"
#include "platform/input.h"
#include "platform/shell.h"

namespace hl = platform::headless;
using namespace platform;

namespace {

class Desktop : public ::testing::Test {
protected:
  void SetUp() override { hl::ResetDesktop(); }
  void TearDown() override {
    FreeWindow(window);
    hl::ResetDesktop();
  }
  WindowHandle window = NewWindow(WindowKind::Hidden, 0, [](Message&) { return true; });
};

TEST_F(Desktop, HotKeyTakenByAnotherProgramIsRefused) {
  hl::SetHotKeyTaken(2, 'C', true);
  EXPECT_FALSE(RegisterGlobalHotKey(window, 304, 2, 'C'));
  EXPECT_TRUE(RegisterGlobalHotKey(window, 304, 2 | 4, 'C'));
  EXPECT_FALSE(RegisterGlobalHotKey(window, 304, 1, 'C')) << "one registration per window and id";
  ASSERT_EQ(hl::HotKeys().size(), 1u);
  EXPECT_EQ(hl::HotKeys()[0].modifiers, 6u);
}

TEST_F(Desktop, KeystrokesAreRecordedAndCanActLikeTheForegroundProgram) {
  // The foreground program copies its selection on Ctrl+C.
  bool ctrl = false;
  hl::SetKeyStrokeHook([&](const hl::KeyStroke& k) {
    if (k.virtualKey == 162) ctrl = (k.flags & 2) == 0;
    if (k.virtualKey == 'C' && !(k.flags & 2) && ctrl) hl::SetClipboardText("selected");
  });
  uint8_t scan = static_cast<uint8_t>(MapKeyCode('C', 0));
  SendKeyEvent(162, 0, 0, 0);
  SendKeyEvent('C', scan, 0, 0);
  SendKeyEvent('C', scan, 2, 0);
  SendKeyEvent(162, 0, 2, 0);
  ASSERT_EQ(hl::KeyStrokes().size(), 4u);
  EXPECT_EQ(hl::KeyStrokes()[1].scanCode, 0x2E);
  EXPECT_EQ(hl::KeyStrokes()[3].flags, 2u);
  EXPECT_EQ(ClipboardText().value_or(""), "selected");
}

TEST_F(Desktop, ClipboardOpensAndRefusals) {
  hl::SetClipboardEmpty();
  EXPECT_FALSE(ClipboardHasFormat(ClipboardFormat::Text));
  EXPECT_EQ(ClipboardText().value_or("x"), "");
  EXPECT_EQ(hl::ClipboardOpenCount(), 1) << "asking for the format does not open it";
  hl::SetClipboardRefusesOpen(true);
  EXPECT_FALSE(ClipboardText().has_value());
  EXPECT_FALSE(ClipboardSetText("x"));
  hl::SetClipboardRefusesOpen(false);
  hl::SetClipboardUnicodeText(u"全角　スペース");
  EXPECT_EQ(ClipboardText().value_or(""), "\x91\x53\x8a\x70\x81\x40\x83\x58\x83\x79\x81\x5b\x83\x58");
}

TEST_F(Desktop, ShellCallsAndBoxesAreRecorded) {
  hl::SetMessageBoxHandler([](const hl::MessageBoxRecord& r) { return r.style & mb::YesNo ? mb::IdNo : mb::IdOk; });
  EXPECT_EQ(ShowMessageBox(window, "Error : Failed to register hotkey", "Error", mb::Ok), mb::IdOk);
  EXPECT_EQ(ShowMessageBox(0, "?", "q", mb::YesNo), mb::IdNo);
  ASSERT_EQ(hl::MessageBoxes().size(), 2u);
  EXPECT_EQ(hl::MessageBoxes()[0].owner, window);
  EXPECT_GT(ShellOpen(0, nullptr, "http://localhost:8660/pinleaf2/users/add", nullptr, nullptr, kShowNormal), 32);
  ASSERT_EQ(hl::ShellOpens().size(), 1u);
  EXPECT_EQ(hl::ShellOpens()[0].verb, "");
  EXPECT_EQ(hl::ShellOpens()[0].file, "http://localhost:8660/pinleaf2/users/add");
  EXPECT_EQ(hl::ShellOpens()[0].showCommand, 1);
}

TEST_F(Desktop, NotificationAreaChangesOnlyFlaggedFields) {
  NotifyIconData d;
  d.hWnd = window;
  d.uID = 1;
  d.uFlags = nif::Message | nif::Icon | nif::Tip;
  std::snprintf(d.szTip, sizeof d.szTip, "tip");
  uint32_t error = 0;
  ASSERT_TRUE(ShellNotifyIcon(nim::Add, d, &error));
  NotifyIconData state = d;
  state.uFlags = nif::State;
  state.dwState = nis::Hidden;
  state.dwStateMask = nis::Hidden;
  std::snprintf(state.szTip, sizeof state.szTip, "ignored");
  ASSERT_TRUE(ShellNotifyIcon(nim::Modify, state, &error));
  auto icons = hl::TrayIcons();
  ASSERT_EQ(icons.size(), 1u);
  EXPECT_STREQ(icons[0].szTip, "tip");
  EXPECT_EQ(icons[0].dwState, 1u);
  NotifyIconData other = d;
  other.uID = 2;
  EXPECT_FALSE(ShellNotifyIcon(nim::Modify, other, &error));
  EXPECT_NE(error, 0u);
  hl::ScriptNotifyIcon({{1460, true}});
  EXPECT_FALSE(ShellNotifyIcon(nim::Add, other, &error));
  EXPECT_EQ(error, kErrorTimeout);
  EXPECT_EQ(hl::TrayIcons().size(), 2u) << "the timed-out add went through";
}

}  // namespace
