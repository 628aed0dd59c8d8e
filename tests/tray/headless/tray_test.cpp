// The tray icon over the in-process desktop's notification area: the records
// handed to the shell, in order, and the callback messages turned into events.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/clock.h"
#include "platform/headless/control.h"
#include "platform/headless/desktop.h"
#include "tray/trayicon.h"
#include "ui/application.h"

using namespace ts;
namespace hl = platform::headless;
using platform::nim::Add;
using platform::nim::Delete;
using platform::nim::Modify;
using platform::nim::SetFocus;
using platform::nim::SetVersion;

namespace {

class TrayTest : public ::testing::Test {
protected:
  void SetUp() override {
    hl::ResetDesktop();
    hl::SetWaitLimit(2000);
    hl::SetTickCount(1000);  // pauses advance a fake clock instead of blocking
    app = new TApplication;
    form = app->CreateForm<TForm>();
  }
  void TearDown() override {
    delete app;
    hl::UseRealClock();
    hl::ResetDesktop();
  }
  TTrayIcon* NewIcon(bool visible = true) {
    auto* icon = new TTrayIcon(form);
    icon->SetTipHelp("text snap for pinleaf online");
    icon->SetVisible(visible);
    return icon;
  }
  static const hl::NotifyIconCall& Last() { return hl::NotifyIconCalls().back(); }
  static size_t Calls() { return hl::NotifyIconCalls().size(); }
  void Callback(TTrayIcon* icon, uint32_t event) {
    platform::PostToWindow(TCallbackWindow::Instance()->Handle(), kTrayCallbackMessage,
                           static_cast<uintptr_t>(icon->IconID()), static_cast<intptr_t>(event));
    app->ProcessMessages();
  }
  // As a shell of version 4 sends it: the icon's place in wParam, the event
  // and the icon ID in lParam.
  void Callback4(TTrayIcon* icon, uint32_t event, int x = 1200, int y = 740) {
    auto place = static_cast<uintptr_t>(static_cast<uint16_t>(x)) | static_cast<uintptr_t>(static_cast<uint16_t>(y))
                                                                        << 16;
    platform::PostToWindow(TCallbackWindow::Instance()->Handle(), kTrayCallbackMessage, place,
                           static_cast<intptr_t>(event | static_cast<uint32_t>(icon->IconID()) << 16));
    app->ProcessMessages();
  }
  // A menu of two items for the right button; chosen items are counted.
  TPopupMenu* MenuFor(TTrayIcon* icon, int& chosen) {
    auto* menu = new TPopupMenu(form);
    for (const char* caption : {"Settings...", "Quit"}) {
      auto* item = new TMenuItem(form);
      item->Caption = caption;
      item->OnClick = [&chosen](TObject*) { ++chosen; };
      menu->Add(item);
    }
    icon->SetRBPopupMenu(menu);
    return menu;
  }
  TApplication* app = nullptr;
  TForm* form = nullptr;
};

TEST_F(TrayTest, IdsFollowTheLastLiveIcon) {
  auto* a = NewIcon(false);
  auto* b = NewIcon(false);
  auto* c = NewIcon(false);
  EXPECT_EQ(a->IconID(), 1);
  EXPECT_EQ(b->IconID(), 2);
  EXPECT_EQ(c->IconID(), 3);
  delete b;
  auto* d = NewIcon(false);
  EXPECT_EQ(d->IconID(), 4) << "the last entry was 3";
  delete d;
  delete c;
  EXPECT_EQ(NewIcon(false)->IconID(), 2) << "with 1 the last entry, the next is 2";
}

TEST_F(TrayTest, HundredIconsAtMost) {
  for (int i = 0; i < kMaxTrayIcons; ++i) new TTrayIcon(form);
  int before = form->ComponentCount();
  try {
    new TTrayIcon(form);
    FAIL() << "no error";
  } catch (const ENotifyIconError& e) {
    EXPECT_EQ(e.Message(), "タスクトレイにアイコンを登録できません。");
  }
  EXPECT_EQ(TTrayIcon::LiveIconCount(), kMaxTrayIcons);
  EXPECT_EQ(form->ComponentCount(), before) << "the failed icon left nothing behind";
}

TEST_F(TrayTest, AddCarriesTheRecord) {
  auto* icon = NewIcon();
  ASSERT_EQ(Calls(), 2u) << "the add, then the version";
  const auto add = hl::NotifyIconCalls()[0];
  EXPECT_EQ(add.command, Add);
  EXPECT_TRUE(add.succeeded);
  EXPECT_EQ(add.data.cbSize, 488u);
  EXPECT_EQ(add.data.hWnd, TCallbackWindow::Instance()->Handle());
  EXPECT_EQ(add.data.uCallbackMessage, 0x4C8u);
  EXPECT_EQ(add.data.uID, static_cast<uint32_t>(icon->IconID()));
  EXPECT_EQ(add.data.uFlags, 0x87u) << "message, icon, tip, and the tip shown under version 4 too";
  EXPECT_STREQ(add.data.szTip, "text snap for pinleaf online");
  EXPECT_EQ(add.data.hIcon, platform::ApplicationIcon(16)) << "no own icon: the application's, at 16 pixels";
  EXPECT_TRUE(icon->Registered());
  delete icon;
  EXPECT_EQ(Last().command, Delete);
  EXPECT_TRUE(hl::TrayIcons().empty());
}

TEST_F(TrayTest, IconsLeaveTheShellBeforeTheirWindowGoes) {
  NewIcon();
  NewIcon();
  size_t calls = Calls();
  delete form;  // frees the callback window first, then the icons
  form = nullptr;
  ASSERT_EQ(Calls(), calls + 2) << "each icon is deleted once";
  for (size_t i = calls; i < Calls(); ++i) {
    EXPECT_EQ(hl::NotifyIconCalls()[i].command, Delete);
    EXPECT_TRUE(hl::NotifyIconCalls()[i].windowAlive);
  }
  EXPECT_TRUE(hl::TrayIcons().empty());
  EXPECT_EQ(TTrayIcon::LiveIconCount(), 0);
}

TEST_F(TrayTest, TipIsCutAndSentOnlyWhenChanged) {
  auto* icon = NewIcon();
  EXPECT_EQ(TTrayIcon(nullptr).TipHelp(), "TipHelp");
  std::string seventy(70, 'x');
  icon->SetTipHelp(seventy);
  EXPECT_EQ(icon->TipHelp(), std::string(63, 'x'));
  EXPECT_EQ(Last().command, Modify);
  EXPECT_EQ(std::strlen(Last().data.szTip), 63u);
  size_t calls = Calls();
  icon->SetTipHelp(std::string(63, 'x'));
  icon->SetTipHelp(seventy);
  EXPECT_EQ(Calls(), calls) << "an equal tip is not sent again";
  icon->SetTipHelp("");
  EXPECT_EQ(Last().data.uFlags, 3u) << "no tip flag for an empty tip";
  // 62 bytes and a double-byte character: the character does not fit whole.
  icon->SetTipHelp(std::string(62, 'y') + "\x83\x65");
  EXPECT_EQ(icon->TipHelp(), std::string(62, 'y'));
}

TEST_F(TrayTest, ShowAndHideByStateFromShell32Version5) {
  auto* icon = NewIcon();
  hl::ClearNotifyIconCalls();
  icon->SetVisible(false);
  icon->SetVisible(true);
  ASSERT_EQ(Calls(), 2u);
  for (int i = 0; i < 2; ++i) {
    const auto& c = hl::NotifyIconCalls()[static_cast<size_t>(i)];
    EXPECT_EQ(c.command, Modify);
    EXPECT_EQ(c.data.uFlags, 8u);
    EXPECT_EQ(c.data.dwStateMask, 3u);
    EXPECT_EQ(c.data.dwState, i == 0 ? 1u : 0u);
  }
  EXPECT_TRUE(icon->Registered());
  EXPECT_EQ(hl::TrayIcons().at(0).dwState, 0u);
}

TEST_F(TrayTest, DeleteAndAddBeforeShell32Version5) {
  hl::SetShell32MajorVersion(4);
  auto* icon = NewIcon();
  EXPECT_EQ(Last().data.cbSize, 88u);
  icon->SetVisible(false);
  EXPECT_EQ(Last().command, Delete);
  EXPECT_FALSE(icon->Registered());
  icon->SetVisible(true);
  EXPECT_EQ(Last().command, Add);
  // No balloons on such a shell: the record carries the tip instead.
  size_t calls = Calls();
  icon->ShowBalloon(biifInfo, "start", "");
  ASSERT_EQ(Calls(), calls + 2);
  EXPECT_EQ(Last().data.uFlags, 7u);
  EXPECT_STREQ(Last().data.szInfoTitle, "");
}

TEST_F(TrayTest, IconWithoutAnyImageStaysHidden) {
  hl::SetApplicationIcon(0);
  auto* icon = NewIcon();
  EXPECT_FALSE(icon->Visible());
  EXPECT_EQ(Calls(), 0u);
  icon->ShowBalloon(biifInfo, "start");  // must not loop trying to show the icon
  EXPECT_EQ(Calls(), 0u);
  form->Icon().SetHandle(platform::CopyIconHandle(platform::StockIcon(3)));
  icon->SetVisible(true);
  EXPECT_TRUE(icon->Visible()) << "the owner form's icon serves";
  EXPECT_EQ(Last().data.hIcon, form->Icon().Handle());
  icon->SetVisible(false);
  form->Icon().SetHandle(0);
  TIcon own;
  own.SetHandle(platform::CopyIconHandle(platform::StockIcon(1)));
  icon->SetIcon(&own);
  icon->SetVisible(true);
  EXPECT_TRUE(icon->Visible());
  EXPECT_EQ(Last().data.hIcon, icon->Icon().Handle());
  TIcon other;
  other.SetHandle(platform::CopyIconHandle(platform::StockIcon(2)));
  icon->SetIcon(&other);
  EXPECT_EQ(Last().command, Modify) << "a new image is sent at once";
  EXPECT_EQ(Last().data.hIcon, icon->Icon().Handle());
}

TEST_F(TrayTest, TimedOutAddIsProbedAndRetried) {
  // The add timed out but went through: the modify finds it.
  hl::ScriptNotifyIcon({{1460, true}});
  auto* a = NewIcon();
  EXPECT_TRUE(a->Registered());
  ASSERT_EQ(Calls(), 3u);
  EXPECT_EQ(hl::NotifyIconCalls()[1].command, Modify);
  EXPECT_EQ(Last().command, SetVersion);
  EXPECT_EQ(hl::Sleeps(), std::vector<uint32_t>{100});

  // It did not: the add is repeated while it keeps timing out.
  hl::ClearNotifyIconCalls();
  hl::ScriptNotifyIcon({{1460}, {87}, {1460}, {1460}, {0}});
  auto* b = NewIcon();
  EXPECT_TRUE(b->Registered());
  std::vector<uint32_t> commands;
  for (auto& c : hl::NotifyIconCalls()) commands.push_back(c.command);
  EXPECT_EQ(commands, (std::vector<uint32_t>{Add, Modify, Add, Add, Add, SetVersion}));
}

TEST_F(TrayTest, AddFailuresRaise) {
  hl::ScriptNotifyIcon({{5}});
  EXPECT_THROW(NewIcon(), ENotifyIconError) << "other errors are not retried";
  EXPECT_EQ(Calls(), 1u);

  hl::ClearNotifyIconCalls();
  hl::SetPlatformVersion(5, 0);  // before XP the time-out is an error like any other
  hl::ScriptNotifyIcon({{1460}});
  EXPECT_THROW(NewIcon(), ENotifyIconError);
  EXPECT_EQ(Calls(), 1u);

  hl::ClearNotifyIconCalls();
  hl::SetPlatformVersion(6, 1);
  std::vector<hl::NotifyIconOutcome> forever(200, {1460});
  hl::ScriptNotifyIcon(forever);
  EXPECT_THROW(NewIcon(), ENotifyIconError) << "a shell that never answers is given up on";
  EXPECT_EQ(Calls(), 2u + kMaxAddRetries);
}

TEST_F(TrayTest, RefusedModifyRaisesButDeleteShowHideDoNot) {
  auto* icon = NewIcon();
  hl::ScriptNotifyIcon({{5}});
  EXPECT_THROW(icon->SetTipHelp("new tip"), ENotifyIconError);
  hl::ScriptNotifyIcon({{5}, {5}});
  icon->SetVisible(false);
  icon->SetVisible(true);
  hl::ScriptNotifyIcon({{5}});
  delete icon;
  EXPECT_FALSE(hl::NotifyIconCalls().back().succeeded);
}

TEST_F(TrayTest, BalloonRecords) {
  auto* icon = NewIcon();
  hl::ClearNotifyIconCalls();
  icon->SetBalloonText("");
  icon->ShowBalloon(biifError, "wait 1 sec.");
  ASSERT_EQ(Calls(), 2u);
  const auto& hide = hl::NotifyIconCalls()[0].data;
  EXPECT_EQ(hl::NotifyIconCalls()[0].command, Modify);
  EXPECT_EQ(hide.uFlags, 0x11u);
  EXPECT_STREQ(hide.szInfoTitle, "");
  EXPECT_STREQ(hide.szInfo, "");
  const auto& show = Last().data;
  EXPECT_EQ(show.uFlags, 0x11u);
  EXPECT_STREQ(show.szInfoTitle, "wait 1 sec.");
  EXPECT_STREQ(show.szInfo, " ");
  EXPECT_EQ(show.dwInfoFlags, 0x13u);
  EXPECT_EQ(show.uTimeout, 10000u);

  icon->ShowBalloon(biifInfo, std::string(70, 't'), std::string(300, 'b'), 30);
  EXPECT_EQ(std::strlen(Last().data.szInfoTitle), 63u);
  EXPECT_EQ(std::strlen(Last().data.szInfo), 255u);
  EXPECT_EQ(Last().data.dwInfoFlags, 0x11u);
  EXPECT_EQ(Last().data.uTimeout, 30000u);
  EXPECT_EQ(icon->BalloonText(), std::string(255, 'b'));
  icon->ShowBalloon(biifInfo, "complete!");
  EXPECT_EQ(std::strlen(Last().data.szInfo), 255u) << "the short form keeps the text";
  EXPECT_EQ(Last().data.uTimeout, 30000u) << "and the time-out";

  hl::ScriptNotifyIcon({{0}, {5}});
  try {
    icon->ShowBalloon(biifWarning, "refused", "text");
    FAIL() << "no error";
  } catch (const ENotifyIconError& e) {
    EXPECT_EQ(e.Message(), "タスクトレイアイコンのバルーンメッセージ表示が切り替えられません。");
  }
  EXPECT_EQ(icon->BalloonTitle(), "refused");
  EXPECT_EQ(icon->BalloonIcon, biifWarning);
}

TEST_F(TrayTest, BalloonWhileHiddenShowsTheIconFirst) {
  auto* icon = NewIcon(false);
  icon->ShowBalloon(biifInfo, "start", "");
  ASSERT_EQ(Calls(), 3u) << "hide balloon does nothing while hidden";
  EXPECT_EQ(hl::NotifyIconCalls()[0].command, Add);
  EXPECT_EQ(hl::NotifyIconCalls()[1].command, SetVersion);
  EXPECT_EQ(Last().command, Modify);
  EXPECT_STREQ(Last().data.szInfoTitle, "start");
  EXPECT_TRUE(icon->Visible());
}

TEST_F(TrayTest, StoredFormStartsFromEmptyTipAndAddsWhenLoaded) {
  auto* icon = new TTrayIcon(form);
  icon->BeginReadState();
  icon->SetVisible(true);
  EXPECT_EQ(Calls(), 0u) << "nothing reaches the shell while reading";
  icon->EndLoading();
  ASSERT_EQ(Calls(), 2u);
  EXPECT_EQ(hl::NotifyIconCalls()[0].command, Add);
  EXPECT_EQ(hl::NotifyIconCalls()[0].data.uFlags, 3u) << "no stored tip: empty, not TipHelp";
  EXPECT_EQ(icon->TipHelp(), "");
  icon->BeginReadState();
  icon->EndLoading();
  EXPECT_EQ(Calls(), 2u) << "loading again adds nothing";
}

TEST_F(TrayTest, RightButtonPopsUpMenuAtCursor) {
  auto* icon = NewIcon();
  auto* menu = new TPopupMenu(form);
  auto* quit = new TMenuItem(form);
  quit->Caption = "Quit";
  menu->Add(quit);
  int quits = 0;
  quit->OnClick = [&](TObject*) { ++quits; };
  icon->SetRBPopupMenu(menu);
  hl::SetCursorPos(640, 470);
  hl::SetPopupHandler([](const hl::PopupRecord&) { return 1; });

  Callback(icon, platform::wm::RButtonDown);
  EXPECT_TRUE(hl::Popups().empty()) << "a press does nothing";
  Callback(icon, platform::wm::RButtonUp);
  ASSERT_EQ(hl::Popups().size(), 1u);
  EXPECT_EQ(hl::Popups()[0].x, 640);
  EXPECT_EQ(hl::Popups()[0].y, 470);
  EXPECT_EQ(quits, 1);
  EXPECT_EQ(hl::ForegroundCalls().back(), form->Handle()) << "the owner form comes to the front first";
  EXPECT_EQ(menu->PopupComponent, icon);

  icon->AutoPopup = false;
  std::vector<TMouseButton> downs;
  icon->OnMouseDown = [&](TObject*, TMouseButton b, TShiftState s, int x, int) {
    EXPECT_EQ(s, ssRight);
    EXPECT_EQ(x, 640);
    downs.push_back(b);
  };
  Callback(icon, platform::wm::RButtonUp);
  EXPECT_EQ(hl::Popups().size(), 1u);
  EXPECT_EQ(downs, std::vector<TMouseButton>{TMouseButton::mbRight});

  delete menu;
  EXPECT_EQ(icon->RBPopupMenu(), nullptr) << "a freed menu is forgotten";
}

TEST_F(TrayTest, EventsByCallbackCode) {
  auto* icon = NewIcon();
  std::vector<std::string> seen;
  icon->OnMouseMove = [&](TObject*, TShiftState, int x, int y) { seen.push_back("move " + std::to_string(x + y)); };
  icon->OnMouseDown = [&](TObject*, TMouseButton b, TShiftState, int, int) {
    seen.push_back("down " + std::to_string(static_cast<int>(b)));
  };
  icon->OnBalloonShow = [&](TObject*) { seen.push_back("show"); };
  icon->OnBalloonHide = [&](TObject*) { seen.push_back("hide"); };
  icon->OnBalloonTimeout = [&](TObject*) { seen.push_back("timeout"); };
  icon->OnBalloonClick = [&](TObject* s) { seen.push_back(s == icon ? "click" : "wrong sender"); };
  hl::SetCursorPos(3, 4);
  for (uint32_t e : {0x200u, 0x201u, 0x207u, 0x402u, 0x403u, 0x404u, 0x405u, 0x999u}) Callback(icon, e);
  EXPECT_EQ(seen, (std::vector<std::string>{"move 7", "down 0", "down 2", "show", "hide", "timeout", "click"}));

  seen.clear();
  platform::PostToWindow(TCallbackWindow::Instance()->Handle(), kTrayCallbackMessage, 99, 0x200);
  app->ProcessMessages();
  icon->SetEnabled(false);
  Callback(icon, 0x200);
  EXPECT_TRUE(seen.empty()) << "unknown IDs and disabled icons are dropped";
  EXPECT_EQ(TCallbackWindow::Instance()->CurrentIcon(), icon) << "a disabled icon still becomes current";
}

TEST_F(TrayTest, MouseUpHandlerTakesEveryLeftClick) {
  auto* icon = NewIcon();
  hl::SetDoubleClickTime(1);
  int clicks = 0, ups = 0;
  icon->OnClick = [&](TObject*) { ++clicks; };
  icon->OnMouseUp = [&](TObject*, TMouseButton, TShiftState, int, int) { ++ups; };
  Callback(icon, platform::wm::LButtonUp);
  EXPECT_FALSE(icon->ClickPending());
  hl::PumpUntil([] { return false; }, 150);
  EXPECT_EQ(ups, 1);
  EXPECT_EQ(clicks, 0);
}

TEST_F(TrayTest, SingleAndDoubleClicks) {
  auto* icon = NewIcon();
  hl::SetDoubleClickTime(20);
  int clicks = 0, doubles = 0;
  icon->OnClick = [&](TObject*) { ++clicks; };
  icon->OnDblClick = [&](TObject*) { ++doubles; };

  Callback(icon, platform::wm::LButtonDown);
  Callback(icon, platform::wm::LButtonUp);
  EXPECT_TRUE(icon->ClickPending());
  EXPECT_EQ(clicks, 0) << "a single click waits for the double-click time";
  ASSERT_TRUE(hl::PumpUntil([&] { return clicks == 1; }, 2000));
  EXPECT_FALSE(icon->ClickPending());

  // A double click comes well within the double-click time, even on a busy machine.
  hl::SetDoubleClickTime(300);
  for (uint32_t e : {0x201u, 0x202u, 0x203u, 0x202u}) Callback(icon, e);
  EXPECT_EQ(doubles, 1);
  hl::PumpUntil([] { return false; }, 500);  // let the timer of the first release end
  EXPECT_EQ(clicks, 1) << "a double click raises no click";

  Callback(icon, platform::wm::LButtonUp);
  icon->SetEnabled(false);
  EXPECT_FALSE(icon->ClickPending()) << "disabling cancels a pending click";
  hl::PumpUntil([] { return false; }, 500);
  EXPECT_EQ(clicks, 1);
}

TEST_F(TrayTest, SingleClickDecisionUsesCurrentIcon) {
  auto* a = NewIcon();
  auto* b = NewIcon();
  hl::SetDoubleClickTime(300);
  int clicksA = 0, clicksB = 0;
  a->OnClick = [&](TObject*) { ++clicksA; };
  b->OnClick = [&](TObject*) { ++clicksB; };
  Callback(a, platform::wm::LButtonUp);
  Callback(b, platform::wm::LButtonDblClk);  // b becomes current, with a pending click
  ASSERT_TRUE(hl::PumpUntil([&] { return clicksB == 1; }, 2000));
  EXPECT_EQ(clicksA, 0);
}

TEST_F(TrayTest, FreedIconIsNotReachedByPendingClick) {
  auto* a = NewIcon();
  hl::SetDoubleClickTime(10);
  a->OnClick = [](TObject*) { FAIL() << "freed icon clicked"; };
  Callback(a, platform::wm::LButtonUp);
  delete a;
  EXPECT_EQ(TCallbackWindow::Instance()->CurrentIcon(), nullptr);
  hl::PumpUntil([] { return false; }, 150);
}

TEST_F(TrayTest, ForegroundStepOnlyWhenAsked) {
  auto* icon = NewIcon();
  form->Show();
  size_t before = hl::ForegroundCalls().size();
  Callback(icon, platform::wm::MButtonUp);
  EXPECT_EQ(hl::ForegroundCalls().size(), before);
  icon->FormActiveByMouseup = true;
  Callback(icon, platform::wm::MButtonUp);
  ASSERT_EQ(hl::ForegroundCalls().size(), before + 1);
  EXPECT_EQ(hl::ForegroundCalls().back(), form->Handle());
}

TEST_F(TrayTest, PlainProperties) {
  auto* icon = NewIcon(false);
  icon->SetAnimateRate(3);
  EXPECT_EQ(icon->AnimateRate(), 10);
  icon->SetBalloonTimeout(200);
  EXPECT_EQ(icon->BalloonTimeout(), 60);
  auto* images = new TImageList(form);
  icon->SetAnimateIcons(images);
  delete images;
  EXPECT_EQ(icon->AnimateIcons(), nullptr);
}

TEST_F(TrayTest, EveryAddAgreesOnTheNewestCallbackVersionTheShellSpeaks) {
  auto* icon = NewIcon();
  ASSERT_EQ(Calls(), 2u);
  EXPECT_EQ(Last().command, SetVersion);
  EXPECT_TRUE(Last().succeeded);
  EXPECT_EQ(Last().data.uVersion, 4u);
  EXPECT_EQ(icon->NotifyVersion(), 4u);
  EXPECT_EQ(hl::TrayIcons().at(0).uVersion, 4u) << "the shell holds the icon at version 4";

  // A shell that does not know version 4 (Windows XP) is asked for 3.
  icon->ShellNotify(TTrayIcon::ncDelete);
  hl::ClearNotifyIconCalls();
  hl::ScriptNotifyIcon({{0}, {87}});  // the add goes through, version 4 is refused
  icon->ShellNotify(TTrayIcon::ncAdd);
  ASSERT_EQ(Calls(), 3u);
  EXPECT_EQ(Last().command, SetVersion);
  EXPECT_EQ(Last().data.uVersion, 3u);
  EXPECT_EQ(icon->NotifyVersion(), 3u);

  // One that knows neither speaks the first version: mouse messages only.
  icon->ShellNotify(TTrayIcon::ncDelete);
  hl::ScriptNotifyIcon({{0}, {87}, {87}});
  icon->ShellNotify(TTrayIcon::ncAdd);
  EXPECT_TRUE(icon->Registered());
  EXPECT_EQ(icon->NotifyVersion(), 0u);

  // A timed-out add found in place by the modify is given its version too.
  icon->ShellNotify(TTrayIcon::ncDelete);
  hl::ClearNotifyIconCalls();
  hl::ScriptNotifyIcon({{1460, true}});
  icon->ShellNotify(TTrayIcon::ncAdd);
  ASSERT_EQ(Calls(), 3u);
  EXPECT_EQ(hl::NotifyIconCalls()[1].command, Modify);
  EXPECT_EQ(Last().command, SetVersion);
  EXPECT_EQ(icon->NotifyVersion(), 4u);

  // Windows XP speaks version 3 and knows no NIF_SHOWTIP (it shows every tip).
  hl::SetPlatformVersion(5, 1);
  hl::ClearNotifyIconCalls();
  hl::ScriptNotifyIcon({{0}, {87}});
  auto* xp = NewIcon();
  EXPECT_EQ(hl::NotifyIconCalls()[0].data.uFlags, 7u);
  EXPECT_EQ(xp->NotifyVersion(), 3u);

  // Before shell32 5 there is no version to agree on.
  hl::SetShell32MajorVersion(4);
  hl::ClearNotifyIconCalls();
  auto* old = NewIcon();
  ASSERT_EQ(Calls(), 1u);
  EXPECT_EQ(Last().command, Add);
  EXPECT_EQ(old->NotifyVersion(), 0u);
}

TEST_F(TrayTest, TheKeyboardOpensTheMenuAtTheIconAndGetsTheNotificationAreaBack) {
  auto* icon = NewIcon();
  int chosen = 0;
  MenuFor(icon, chosen);
  hl::SetCursorPos(5, 5);  // the pointer is elsewhere: the keyboard is used

  // Enter or Space on the icon: the menu at the icon's place; dismissed, the
  // keyboard goes back to the notification area.
  Callback4(icon, platform::nin::KeySelect, 1200, 740);
  ASSERT_EQ(hl::Popups().size(), 1u);
  EXPECT_EQ(hl::Popups()[0].x, 1200);
  EXPECT_EQ(hl::Popups()[0].y, 740);
  EXPECT_EQ(Last().command, SetFocus);
  EXPECT_EQ(Last().data.uID, static_cast<uint32_t>(icon->IconID()));
  EXPECT_TRUE(Last().succeeded);

  // Shift+F10 or the menu key: the same menu; Enter with no click before it:
  // the same again. Places may be negative (a monitor left of the first).
  Callback4(icon, platform::kContextMenu, -300, 740);
  Callback4(icon, platform::nin::Select, 1210, 740);
  ASSERT_EQ(hl::Popups().size(), 3u);
  EXPECT_EQ(hl::Popups()[1].x, -300);
  EXPECT_EQ(hl::Popups()[2].x, 1210);
  EXPECT_EQ(Last().command, SetFocus);

  // An item chosen: its click, and the focus stays where the item put it.
  hl::SetPopupHandler([](const hl::PopupRecord&) { return 2; });
  hl::ClearNotifyIconCalls();
  Callback4(icon, platform::nin::KeySelect);
  EXPECT_EQ(chosen, 1);
  EXPECT_EQ(Calls(), 0u) << "no SetFocus after a choice";

  // The shell may report Enter twice: a request that arrives while the menu
  // is open opens no second one.
  hl::SetPopupHandler([&](const hl::PopupRecord&) {
    Callback4(icon, platform::nin::KeySelect);
    return 0;
  });
  size_t before = hl::Popups().size();
  Callback4(icon, platform::nin::KeySelect);
  EXPECT_EQ(hl::Popups().size(), before + 1);

  // Without a menu, Enter is a click.
  int clicks = 0;
  icon->OnClick = [&](TObject*) { ++clicks; };
  icon->SetRBPopupMenu(nullptr);
  Callback4(icon, platform::nin::KeySelect);
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(hl::Popups().size(), before + 1);
}

TEST_F(TrayTest, AClickOnAShellThatReportsTheKeyboardOpensOneMenu) {
  auto* icon = NewIcon();
  int chosen = 0;
  MenuFor(icon, chosen);
  hl::SetCursorPos(1190, 735);
  std::vector<TMouseButton> ups;
  icon->OnMouseUp = [&](TObject*, TMouseButton b, TShiftState, int, int) { ups.push_back(b); };

  // A right click: the release, then WM_CONTEXTMENU, which opens the menu.
  Callback4(icon, platform::wm::RButtonDown);
  Callback4(icon, platform::wm::RButtonUp);
  EXPECT_TRUE(hl::Popups().empty()) << "the menu waits for WM_CONTEXTMENU";
  EXPECT_EQ(ups, std::vector<TMouseButton>{TMouseButton::mbRight});
  hl::ClearNotifyIconCalls();
  Callback4(icon, platform::kContextMenu, 1200, 740);
  ASSERT_EQ(hl::Popups().size(), 1u);
  EXPECT_EQ(Calls(), 0u) << "a mouse user keeps the pointer: no SetFocus";

  // A left click: the release, then NIN_SELECT, which repeats it.
  icon->OnMouseUp = nullptr;
  Callback4(icon, platform::wm::LButtonDown);
  Callback4(icon, platform::wm::LButtonUp);
  Callback4(icon, platform::nin::Select);
  EXPECT_EQ(hl::Popups().size(), 1u);

  // Version 3 speaks the first layout and follows the release with
  // WM_CONTEXTMENU just the same.
  icon->ShellNotify(TTrayIcon::ncDelete);
  hl::ScriptNotifyIcon({{0}, {87}});
  icon->ShellNotify(TTrayIcon::ncAdd);
  ASSERT_EQ(icon->NotifyVersion(), 3u);
  Callback(icon, platform::wm::RButtonUp);
  EXPECT_EQ(hl::Popups().size(), 1u);
  Callback(icon, platform::kContextMenu);
  ASSERT_EQ(hl::Popups().size(), 2u);
  EXPECT_EQ(hl::Popups()[1].x, 1190) << "no place in the first layout: at the pointer";
}

TEST_F(TrayTest, TheApplicationIconComesAtTheSizeOfTheNotificationArea) {
  hl::SetDesktopDpi(144);
  auto* icon = NewIcon();
  EXPECT_EQ(hl::IconPixels(hl::NotifyIconCalls()[0].data.hIcon), 24) << "16 pixels at 150 %";

  // The monitor's scale changes: the icon follows, once.
  hl::SetDesktopDpi(192);
  platform::SendToWindow(TCallbackWindow::Instance()->Handle(), platform::wm::DisplayChange, 32, 0);
  EXPECT_EQ(Last().command, Modify);
  EXPECT_EQ(hl::IconPixels(hl::TrayIcons().at(0).hIcon), 32);
  size_t calls = Calls();
  platform::SendToWindow(TCallbackWindow::Instance()->Handle(), platform::wm::SettingChange, 0, 0);
  EXPECT_EQ(Calls(), calls) << "the same size is not sent again";

  // An icon of its own is shown as it is.
  TIcon own;
  own.SetHandle(platform::CopyIconHandle(platform::StockIcon(1)));
  icon->SetIcon(&own);
  hl::SetDesktopDpi(120);
  calls = Calls();
  platform::SendToWindow(TCallbackWindow::Instance()->Handle(), platform::wm::DisplayChange, 32, 0);
  EXPECT_EQ(Calls(), calls);
  EXPECT_EQ(hl::TrayIcons().at(0).hIcon, icon->Icon().Handle());
}

}  // namespace
