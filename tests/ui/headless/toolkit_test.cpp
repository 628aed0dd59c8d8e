// The toolkit over the in-process desktop: focus, keys, clicks, modal display,
// closing, errors escaping handlers, menus, the clipboard and thread notices.
#include <gtest/gtest.h>

#include <thread>

#include "fixture.h"
#include "runtime/exception.h"
#include "ui/clipboard.h"
#include "ui/controls.h"
#include "ui/forms.h"
#include "ui/menus.h"
#include "ui/thread.h"

using namespace ts;
namespace hl = platform::headless;

namespace {

// A settings-like form: two edits, a default button, a hotkey box, a check box.
struct Dialog : TForm {
  explicit Dialog(TComponent* owner) : TForm(owner) {
    for (auto* c : std::initializer_list<TWinControl*>{edit1, edit2, ok, keyBox, check, label, hidden})
      c->SetParent(this);
    ok->SetDefault(true);
    ok->SetCaption("OK");
    keyBox->SetReadOnly(true);
    hidden->SetVisible(false);
  }
  TEdit* edit1 = new TEdit(this);
  TEdit* edit2 = new TEdit(this);
  TButton* ok = new TButton(this);
  TEdit* keyBox = new TEdit(this);
  TCheckBox* check = new TCheckBox(this);
  TLabel* label = new TLabel(this);
  TButton* hidden = new TButton(this);
};

TEST_F(UiTest, ShowingFocusesActiveOrFirstControl) {
  auto* f = app->CreateForm<Dialog>();
  f->edit1->SetEnabled(false);
  f->Show();
  EXPECT_TRUE(f->edit2->Focused()) << "the first usable control in focus order";
  f->Hide();
  f->ActiveControl = f->check;
  f->Show();
  EXPECT_TRUE(f->check->Focused());
  f->Hide();
  delete f->check;
  EXPECT_EQ(f->ActiveControl, nullptr) << "a freed control is forgotten";
}

TEST_F(UiTest, TabFollowsTabOrderSkippingUnusableControls) {
  auto* f = app->CreateForm<Dialog>();
  f->ok->SetTabOrder(0);  // now: ok, edit1, edit2, keyBox, check, (label), hidden
  f->edit2->SetEnabled(false);
  f->Show();
  f->ok->SetFocus();
  hl::PressKey(9);
  EXPECT_TRUE(f->edit1->Focused());
  hl::PressKey(9);
  EXPECT_TRUE(f->keyBox->Focused()) << "a disabled edit is skipped";
  hl::PressKey(9);
  EXPECT_TRUE(f->check->Focused());
  hl::PressKey(9);
  EXPECT_TRUE(f->ok->Focused()) << "labels and hidden buttons take no focus; the order wraps";
  hl::PressKey(9, 4);
  EXPECT_TRUE(f->check->Focused()) << "Shift+Tab goes back";
}

TEST_F(UiTest, KeyDownSeesEveryKeyButEnterAndTab) {
  auto* f = app->CreateForm<Dialog>();
  std::vector<std::pair<uint16_t, TShiftState>> keys;
  f->keyBox->OnKeyDown = [&](TObject* sender, uint16_t& key, TShiftState shift) {
    EXPECT_EQ(sender, f->keyBox);
    keys.emplace_back(key, shift);
  };
  int clicks = 0;
  f->ok->OnClick = [&](TObject*) { ++clicks; };
  f->Show();
  f->keyBox->SetFocus();
  hl::PressKey(116, 2 | 4);  // Ctrl+Shift+F5
  hl::PressKey('X', 1);      // Alt+X: a system key
  hl::PressKey(121);         // F10 arrives as a system key too
  hl::PressKey(27);          // Escape closes nothing
  hl::PressKey(13);          // Enter: the default button
  hl::PressKey(9);           // Tab: focus movement
  ASSERT_EQ(keys.size(), 4u);
  EXPECT_EQ(keys[0], std::make_pair(uint16_t(116), ssCtrl | ssShift));
  EXPECT_EQ(keys[1], std::make_pair(uint16_t('X'), ssAlt));
  EXPECT_EQ(keys[2].first, 121);
  EXPECT_EQ(keys[3], std::make_pair(uint16_t(27), TShiftState(0)));
  EXPECT_EQ(clicks, 1);
  EXPECT_TRUE(f->Visible()) << "Escape does not close a form";
}

TEST_F(UiTest, KeysThatClickButtons) {
  auto* f = app->CreateForm<Dialog>();
  auto* other = new TButton(f);
  other->SetParent(f);
  int okClicks = 0, otherClicks = 0, checkClicks = 0;
  f->ok->OnClick = [&](TObject*) { ++okClicks; };
  other->OnClick = [&](TObject*) { ++otherClicks; };
  f->check->OnClick = [&](TObject*) { ++checkClicks; };
  f->Show();
  other->SetFocus();
  hl::PressKey(13);
  EXPECT_EQ(otherClicks, 1) << "a focused button takes Enter";
  EXPECT_EQ(okClicks, 0);
  hl::PressKey(32);
  EXPECT_EQ(otherClicks, 2);
  f->check->SetFocus();
  hl::PressKey(32);
  EXPECT_EQ(checkClicks, 1);
  EXPECT_TRUE(f->check->Checked());
  hl::PressKey(13);
  EXPECT_EQ(okClicks, 1) << "from a check box Enter goes to the default button";
}

TEST_F(UiTest, EnterGoesToMemoNotDefaultButton) {
  auto* f = app->CreateForm<Dialog>();
  auto* memo = new TMemo(f);
  memo->SetParent(f);
  int clicks = 0, keys = 0;
  f->ok->OnClick = [&](TObject*) { ++clicks; };
  memo->OnKeyDown = [&](TObject*, uint16_t& key, TShiftState) { keys += key == 13; };
  f->Show();
  memo->SetFocus();
  hl::PressKey(13);
  EXPECT_EQ(clicks, 0);
  EXPECT_EQ(keys, 1);
  f->ok->SetEnabled(false);
  f->edit1->SetFocus();
  hl::PressKey(13);
  EXPECT_EQ(clicks, 0) << "a disabled default button is not pressed";
}

TEST_F(UiTest, ControlPropertiesReachTheWindow) {
  auto* f = app->CreateForm<Dialog>();
  f->SetCaption("setting");
  f->SetBorderStyle(TBorderStyle::bsToolWindow);
  f->SetBorderIcons(false);
  f->SetClientSize(487, 442);
  f->edit2->SetPasswordChar('*');
  f->edit2->SetBounds(32, 200, 361, 38);
  f->edit2->Font().SetHeight(30);
  f->ok->Font().SetBold(true);
  f->label->SetCaption("↑このエリアをクリックして、\rショートカットにしたいキーを押してください");

  auto form = hl::Inspect(f->Handle()).value();
  EXPECT_EQ(form.caption, "setting");
  EXPECT_TRUE(form.toolWindow);
  EXPECT_FALSE(form.borderIcons);
  EXPECT_EQ(form.clientWidth, 487);
  EXPECT_EQ(form.clientHeight, 442);
  auto pw = hl::Inspect(f->edit2->Handle()).value();
  EXPECT_EQ(pw.passwordChar, '*');
  EXPECT_EQ(pw.bounds.top, 200);
  EXPECT_EQ(pw.font.height, 30);
  EXPECT_EQ(pw.font.name, "ＭＳ Ｐゴシック") << "children take the form's font";
  EXPECT_TRUE(hl::Inspect(f->ok->Handle())->font.bold);
  EXPECT_FALSE(hl::Inspect(f->edit1->Handle())->font.bold) << "fonts are per control";

  hl::TypeText(f->keyBox->Handle(), "65");
  EXPECT_EQ(f->keyBox->Text(), "") << "a read-only edit cannot be typed into";
  hl::TypeText(f->edit1->Handle(), "ユーザー");
  EXPECT_EQ(f->edit1->Text(), "ユーザー");
}

TEST_F(UiTest, LabelsTakeTheSizeOfTheirCaption) {
  auto* f = app->CreateForm<Dialog>();
  f->label->Font().SetHeight(10);
  f->label->SetBounds(40, 408, 0, 0);
  f->label->SetCaption("hotkey code");
  int oneLine = f->label->Height();
  int width = f->label->Width();
  EXPECT_GT(width, 0);
  EXPECT_EQ(f->label->Left(), 40) << "the position stays";
  f->label->SetCaption("hotkey code\rhotkey");
  EXPECT_EQ(f->label->Height(), 2 * oneLine) << "a lone CR starts a second line";
  EXPECT_EQ(f->label->Width(), width) << "as wide as its widest line";
  f->label->Font().SetHeight(20);
  EXPECT_EQ(f->label->Height(), 4 * oneLine);
  f->label->SetAutoSize(false);
  f->label->SetBounds(56, 296, 357, 12);
  f->label->SetCaption("a caption far too long for twelve pixels of height");
  EXPECT_EQ(f->label->Width(), 357);
  EXPECT_EQ(f->label->Height(), 12);
  EXPECT_EQ(hl::Inspect(f->label->Handle())->bounds.width, 357);
}

TEST_F(UiTest, ClicksAndCheckBoxes) {
  auto* f = app->CreateForm<Dialog>();
  f->Show();
  int changes = 0;
  f->check->OnClick = [&](TObject*) { ++changes; };
  EXPECT_TRUE(hl::ClickControl(f->check->Handle()));
  EXPECT_TRUE(f->check->Checked());
  EXPECT_EQ(changes, 1);
  f->check->SetEnabled(false);
  EXPECT_FALSE(hl::ClickControl(f->check->Handle()));
  EXPECT_TRUE(f->check->Checked());
  f->SetEnabled(false);
  EXPECT_FALSE(hl::ClickControl(f->ok->Handle())) << "a disabled form takes no clicks";
}

TEST_F(UiTest, ErrorEscapingHandlerIsShownAndLoopGoesOn) {
  auto* f = app->CreateForm<Dialog>();
  f->Show();
  f->ok->OnClick = [](TObject*) { throw Exception("Socket Error # 10061"); };
  hl::ClickControl(f->ok->Handle());
  ASSERT_EQ(hl::MessageBoxes().size(), 1u);
  const auto& box = hl::MessageBoxes()[0];
  EXPECT_EQ(box.text, "Socket Error # 10061.");
  EXPECT_EQ(box.caption, "text snap for pinleaf online");
  EXPECT_EQ(box.style, 0x10u) << "stop icon, one OK button";
  hl::SetMessageBoxHandler([&](const hl::MessageBoxRecord&) {
    EXPECT_FALSE(f->Enabled()) << "forms are disabled while the box is open";
    return 1;
  });
  // The same through the message loop: a posted close after the error still runs.
  platform::PostToWindow(f->ok->Handle(), platform::wm::ControlClick, 0, 0);
  platform::PostToWindow(f->Handle(), platform::wm::Close, 0, 0);
  app->Run();
  EXPECT_EQ(hl::MessageBoxes().size(), 2u);
  EXPECT_TRUE(app->Terminated()) << "closing the main form ends the loop";
  EXPECT_TRUE(f->Enabled());
}

TEST_F(UiTest, ShowModalRunsUntilResultAndRestoresOtherForms) {
  auto* main = app->CreateForm<Dialog>();
  auto* dlg = app->CreateForm<Dialog>();
  dlg->Position = TPosition::poDesktopCenter;
  dlg->ActiveControl = dlg->edit1;
  main->Show();
  int shows = 0;
  dlg->OnShow = [&](TObject*) { ++shows; };
  dlg->ok->ModalResult = mrOk;
  int idles = 0;
  hl::SetIdleHandler([&] {
    ++idles;
    EXPECT_TRUE(dlg->Visible());
    EXPECT_FALSE(main->Enabled());
    EXPECT_TRUE(dlg->edit1->Focused());
    hl::PressKey(13);
    return true;
  });
  EXPECT_EQ(dlg->ShowModal(), mrOk);
  EXPECT_EQ(idles, 1);
  EXPECT_EQ(shows, 1);
  EXPECT_FALSE(dlg->Visible());
  EXPECT_TRUE(main->Enabled());
  EXPECT_TRUE(hl::Inspect(dlg->Handle())->centered);
}

TEST_F(UiTest, ShowModalOnVisibleFormRaises) {
  auto* f = app->CreateForm<Dialog>();
  f->Show();
  try {
    f->ShowModal();
    FAIL() << "no error";
  } catch (const EInvalidOperation& e) {
    EXPECT_EQ(e.Message(), "表示されているウィンドウをモーダルにすることはできません");
  }
  EXPECT_TRUE(f->Visible());
}

TEST_F(UiTest, FailingCloseQueryKeepsModalFormOpen) {
  auto* f = app->CreateForm<Dialog>();
  int queries = 0;
  f->OnCloseQuery = [&](TObject*, bool&) {
    if (++queries == 1) throw Exception("C:\\ini.ini に書き込めません");
  };
  f->ok->OnClick = [&](TObject*) { f->SetModalResult(mrOk); };
  hl::SetIdleHandler([&] { return hl::ClickControl(f->ok->Handle()); });
  EXPECT_EQ(f->ShowModal(), mrOk);
  EXPECT_EQ(queries, 2) << "the first OK failed, the second closed";
  ASSERT_EQ(hl::MessageBoxes().size(), 1u);
  EXPECT_EQ(hl::MessageBoxes()[0].text, "C:\\ini.ini に書き込めません.");
}

TEST_F(UiTest, CloseWhileModalIsCancelAndKeepsApplicationRunning) {
  auto* f = app->CreateForm<Dialog>();  // the main form
  bool queried = false;
  f->OnCloseQuery = [&](TObject*, bool&) { queried = true; };
  hl::SetIdleHandler([&] {
    f->Close();
    return true;
  });
  EXPECT_EQ(f->ShowModal(), mrCancel);
  EXPECT_TRUE(queried);
  EXPECT_FALSE(app->Terminated());
}

TEST_F(UiTest, RefusedOrFailedCloseLeavesMainFormAlone) {
  auto* f = app->CreateForm<Dialog>();
  f->Show();
  f->OnCloseQuery = [](TObject*, bool& can) { can = false; };
  f->Close();
  EXPECT_TRUE(f->Visible());
  EXPECT_FALSE(app->Terminated());
  f->OnCloseQuery = [](TObject*, bool&) { throw Exception("cannot write"); };
  EXPECT_THROW(f->Close(), Exception);
  EXPECT_FALSE(app->Terminated());
}

TEST_F(UiTest, EndOfSessionAsksTheCloseQuery) {
  auto* f = app->CreateForm<Dialog>();
  int queries = 0;
  bool allow = true;
  f->OnCloseQuery = [&](TObject*, bool& can) {
    ++queries;
    can = allow;
  };
  EXPECT_EQ(platform::SendToWindow(f->Handle(), platform::wm::QueryEndSession, 0, 0), 1);
  allow = false;
  EXPECT_EQ(platform::SendToWindow(f->Handle(), platform::wm::QueryEndSession, 0, 0), 0);
  EXPECT_EQ(queries, 2);
}

// A form that answers the hotkey message, as the client's window does.
struct HotKeyForm : TForm {
  using TForm::TForm;
  std::vector<uintptr_t> ids;
  bool WndProc(platform::Message& m) override {
    if (m.msg == platform::wm::HotKey) {
      ids.push_back(m.wParam);
      return true;
    }
    return TForm::WndProc(m);
  }
};

TEST_F(UiTest, HiddenFormReceivesHotKey) {
  auto* f = app->CreateForm<HotKeyForm>();
  app->ShowMainForm = false;
  ASSERT_TRUE(platform::RegisterGlobalHotKey(f->Handle(), 304, 2 | 4, 'S'));
  EXPECT_FALSE(hl::PressHotKey(2, 'S'));
  EXPECT_TRUE(hl::PressHotKey(2 | 4, 'S'));
  hl::SetIdleHandler([&] {
    app->Terminate();
    return true;
  });
  app->Run();
  EXPECT_FALSE(f->Visible());
  ASSERT_EQ(f->ids.size(), 1u);
  EXPECT_EQ(f->ids[0], 304u);
  delete f;
  EXPECT_TRUE(hl::HotKeys().empty()) << "the registration ends with the window";
}

TEST_F(UiTest, PopupMenuRaisesChosenItemsClick) {
  auto* owner = app->CreateForm<Dialog>();
  auto* menu = new TPopupMenu(owner);
  auto* setting = new TMenuItem(owner);
  auto* sep = new TMenuItem(owner);
  auto* quit = new TMenuItem(owner);
  setting->Caption = "Settings...";
  sep->Caption = "-";
  quit->Caption = "Quit";
  for (auto* i : {setting, sep, quit}) menu->Add(i);
  std::vector<std::string> clicked;
  setting->OnClick = [&](TObject*) { clicked.push_back("setting"); };
  quit->OnClick = [&](TObject* s) {
    EXPECT_EQ(s, quit);
    clicked.push_back("quit");
  };
  int choice = 3;
  hl::SetPopupHandler([&](const hl::PopupRecord&) { return choice; });
  menu->Popup(100, 200);
  ASSERT_EQ(hl::Popups().size(), 1u);
  const auto& p = hl::Popups()[0];
  EXPECT_EQ(p.x, 100);
  EXPECT_EQ(p.y, 200);
  ASSERT_EQ(p.entries.size(), 3u);
  EXPECT_EQ(p.entries[1].caption, "-");
  EXPECT_EQ(clicked, std::vector<std::string>{"quit"});
  choice = 0;
  menu->Popup(0, 0);
  setting->Enabled = false;
  choice = 1;
  menu->Popup(0, 0);
  EXPECT_EQ(clicked.size(), 1u) << "dismissed menus and disabled items raise nothing";
  delete quit;
  EXPECT_EQ(menu->Count(), 2) << "a freed item leaves the menu";
}

TEST_F(UiTest, ClipboardTextFormsAndRefusal) {
  hl::SetClipboardNonText();
  EXPECT_FALSE(Clipboard().HasFormat(cfText));
  EXPECT_EQ(Clipboard().AsText(), "");
  hl::SetClipboardText("\x83\x65\x83\x4c\x83\x58\x83\x67");  // テキスト in Shift-JIS
  EXPECT_TRUE(Clipboard().HasFormat(cfText));
  EXPECT_EQ(Clipboard().AsText(), "\x83\x65\x83\x4c\x83\x58\x83\x67");
  EXPECT_EQ(Clipboard().AsUnicodeText(), u"テキスト");
  hl::SetClipboardRefusesOpen(true);
  try {
    Clipboard().AsText();
    FAIL() << "no error";
  } catch (const EClipboardException& e) {
    EXPECT_EQ(e.Message(), "クリップボードを開くことができません");
  }
  EXPECT_THROW(Clipboard().AsUnicodeText(), EClipboardException);
}

TEST_F(UiTest, WorkerNoticesRunOnGuiThread) {
  std::thread::id gui = std::this_thread::get_id(), ran;
  bool done = false;
  std::thread worker([&] { QueueOnMainThread([&] { ran = std::this_thread::get_id(), done = true; }); });
  worker.join();
  EXPECT_FALSE(done) << "nothing runs before the loop does";
  ASSERT_TRUE(hl::PumpUntil([&] { return done; }, 2000));
  EXPECT_EQ(ran, gui);

  struct Sleeper : TThread {
    void Execute() override { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }
  };
  bool terminated = false;
  auto* t = new Sleeper;
  t->FreeOnTerminate = true;
  t->OnTerminate = [&](TObject*) { terminated = std::this_thread::get_id() == gui; };
  t->Start();
  EXPECT_TRUE(hl::PumpUntil([&] { return terminated; }, 2000));
}

TEST_F(UiTest, ErrorInNoticeIsShown) {
  QueueOnMainThread([] { throw Exception("late failure"); });
  bool after = false;
  QueueOnMainThread([&] { after = true; });
  ASSERT_TRUE(hl::PumpUntil([&] { return after; }, 2000)) << "a failing notice does not stop the next";
  ASSERT_EQ(hl::MessageBoxes().size(), 1u);
  EXPECT_EQ(hl::MessageBoxes()[0].text, "late failure.");
}

TEST_F(UiTest, WaitingLoopWithNothingToDoFailsInsteadOfHanging) {
  hl::SetWaitLimit(50);
  std::vector<std::string> stalls;
  hl::SetStallHandler([&](const std::string& what) { stalls.push_back(what); });
  app->Run();
  ASSERT_EQ(stalls.size(), 1u);
  EXPECT_EQ(stalls[0], "a message loop waited and nothing arrived");
}

TEST_F(UiTest, QuitMessageFromOutsideEndsTheModalWindowAndTheLoop) {
  TForm* dialog = app->CreateForm<TForm>();
  app->ShowMainForm = false;
  int result = mrNone;
  hl::SetIdleHandler([&] {
    if (!dialog->Visible()) return false;
    hl::PostQuit();
    return true;
  });
  QueueOnMainThread([&] { result = dialog->ShowModal(); });
  app->Run();
  EXPECT_TRUE(app->Terminated());
  EXPECT_EQ(result, mrCancel);
  EXPECT_FALSE(dialog->Visible());
}

}  // namespace
