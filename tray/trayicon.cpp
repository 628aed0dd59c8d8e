#include "tray/trayicon.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/input.h"
#include "runtime/codepage.h"
#include "runtime/scope.h"
#include "runtime/text.h"
#include "ui/application.h"
#include "ui/forms.h"

namespace ts {

namespace {

const char* const kCannotRegister = "タスクトレイにアイコンを登録できません。";
const char* const kCannotSwitchBalloon = "タスクトレイアイコンのバルーンメッセージ表示が切り替えられません。";

// The icons alive in the process, as (ID as decimal text, icon), in creation order.
std::vector<std::pair<std::string, TTrayIcon*>>& Registry() {
  static std::vector<std::pair<std::string, TTrayIcon*>> registry;
  return registry;
}

TCallbackWindow* g_callbackWindow = nullptr;

void CopyText(char* dest, size_t size, const std::string& text) {
  // The rest of the field stays zero, so the copy always ends in a NUL.
  std::memset(dest, 0, size);
  std::copy_n(text.data(), std::min(text.size(), size - 1), dest);
}

}  // namespace

std::string CutText(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = 0;
  for (size_t i = 0; i < limit;) {
    size_t len = IsLeadByte(static_cast<unsigned char>(text[i])) ? 2 : 1;
    if (i + len > limit) break;
    i += len;
    end = i;
  }
  return text.substr(0, end);
}

// --- TTrayIcon -----------------------------------------------------------------

TTrayIcon::TTrayIcon(TComponent* owner) : TComponent(owner) {
  shell32Version_ = platform::Shell32MajorVersion();
  platform::OsVersion os = platform::PlatformVersion();
  newerWindows_ = os.major > 5 || (os.major == 5 && os.minor > 0);
  vistaShell_ = os.major >= 6 && shell32Version_ >= 6;
  auto& registry = Registry();
  if (registry.size() >= static_cast<size_t>(kMaxTrayIcons)) {
    iconId_ = 0;
    throw ENotifyIconError(kCannotRegister);
  }
  iconId_ = registry.empty() ? 1 : StrToInt(registry.back().first) + 1;
  registry.emplace_back(IntToStr(iconId_), this);

  icon_.OnChange = [this](TObject*) { Refresh(); };
  if (!g_callbackWindow) {
    auto* window = new TCallbackWindow(owner);
    if (auto* parent = dynamic_cast<TWinControl*>(owner)) window->SetParent(parent);
  }
  record_.cbSize = shell32Version_ >= 5 ? platform::NotifyIconSizeV5() : platform::NotifyIconSizeV1();
  record_.uCallbackMessage = kTrayCallbackMessage;
  record_.uID = static_cast<uint32_t>(iconId_);
}

TTrayIcon::~TTrayIcon() {
  if (iconId_ == 0) return;
  if (registered_) ShellNotify(ncDelete);
  auto& registry = Registry();
  std::string key = IntToStr(iconId_);
  registry.erase(std::remove_if(registry.begin(), registry.end(), [&](auto& e) { return e.first == key; }),
                 registry.end());
  // A pending single click or a later callback must not reach a freed icon.
  if (g_callbackWindow && g_callbackWindow->current_ == this) g_callbackWindow->current_ = nullptr;
  icon_.OnChange = nullptr;
}

TTrayIcon* TTrayIcon::FindByID(int id) {
  std::string key = IntToStr(id);
  for (auto& e : Registry())
    if (e.first == key) return e.second;
  return nullptr;
}

int TTrayIcon::LiveIconCount() { return static_cast<int>(Registry().size()); }

void TTrayIcon::SetAnimateIcons(TImageList* images) {
  if (animateIcons_) RemoveFreeNotification(animateIcons_);
  animateIcons_ = images;
  if (images) FreeNotification(images);
}

void TTrayIcon::SetAnimateRate(int milliseconds) { animateRate_ = std::max(milliseconds, 10); }

void TTrayIcon::SetEnabled(bool enabled) {
  enabled_ = enabled;
  if (!enabled) clickPending_ = false;
}

void TTrayIcon::SetIcon(const TIcon* icon) { icon_.Assign(icon); }

void TTrayIcon::SetLBPopupMenu(TPopupMenu* menu) {
  if (lbPopupMenu_ && lbPopupMenu_ != rbPopupMenu_) RemoveFreeNotification(lbPopupMenu_);
  lbPopupMenu_ = menu;
  if (menu) FreeNotification(menu);
}

void TTrayIcon::SetRBPopupMenu(TPopupMenu* menu) {
  if (rbPopupMenu_ && rbPopupMenu_ != lbPopupMenu_) RemoveFreeNotification(rbPopupMenu_);
  rbPopupMenu_ = menu;
  if (menu) FreeNotification(menu);
}

void TTrayIcon::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  if (component == lbPopupMenu_) lbPopupMenu_ = nullptr;
  if (component == rbPopupMenu_) rbPopupMenu_ = nullptr;
  if (component == animateIcons_) animateIcons_ = nullptr;
}

void TTrayIcon::SetTipHelp(const std::string& text) {
  std::string cut = CutText(text, 63);
  if (cut == tipHelp_) return;
  tipHelp_ = cut;
  Refresh();
}

void TTrayIcon::SetBalloonTitle(const std::string& text) { balloonTitle_ = CutText(text, 63); }
void TTrayIcon::SetBalloonText(const std::string& text) { balloonText_ = CutText(text, 255); }
void TTrayIcon::SetBalloonTimeout(int seconds) {
  balloonTimeout_ = static_cast<TBalloonTimeout>(std::clamp(seconds, 10, 60));
}

platform::IconHandle TTrayIcon::IconHandle() const {
  if (!icon_.Empty()) return icon_.Handle();
  if (auto* form = dynamic_cast<TForm*>(Owner()))
    if (!form->Icon().Empty()) return form->Icon().Handle();
  // Drawn for the size the notification area shows, not shrunk from a larger one.
  return platform::ApplicationIcon(platform::NotifyIconPixels());
}

void TTrayIcon::Refresh() {
  if (registered_) ShellNotify(ncModify);
}

void TTrayIcon::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible && IconHandle() != 0;
  if (Loading() || readingState_) return;
  bool shell5 = shell32Version_ >= 5;
  if (visible_) {
    ShellNotify(registered_ && shell5 ? ncShow : ncAdd);
  } else if (registered_) {
    ShellNotify(shell5 ? ncHide : ncDelete);
  }
}

void TTrayIcon::BeginReadState() {
  if (!stateRead_) {
    stateRead_ = true;
    SetTipHelp("");
    readingState_ = true;
  }
  BeginLoading();
}

void TTrayIcon::Loaded() {
  TComponent::Loaded();
  readingState_ = false;
  // A second load must not add an icon the shell already holds (it would refuse).
  if (!registered_) ShellNotify(ncAdd);
}

bool TTrayIcon::Send(uint32_t message, uint32_t& lastError) {
  lastError = 0;
  return platform::ShellNotifyIcon(message, record_, &lastError);
}

void TTrayIcon::PrepareBalloon(bool show) {
  record_.uFlags = platform::nif::Message | platform::nif::Info;
  record_.uTimeout = static_cast<uint32_t>(balloonTimeout_) * 1000;
  std::memset(record_.szInfoTitle, 0, sizeof record_.szInfoTitle);
  std::memset(record_.szInfo, 0, sizeof record_.szInfo);
  if (show) {
    CopyText(record_.szInfoTitle, sizeof record_.szInfoTitle, balloonTitle_);
    CopyText(record_.szInfo, sizeof record_.szInfo, balloonText_.empty() ? std::string(" ") : balloonText_);
    record_.dwInfoFlags = static_cast<uint32_t>(BalloonIcon) | platform::niif::NoSound;
  }
}

void TTrayIcon::ShellNotify(Command command) {
  using namespace platform;
  record_.hIcon = IconHandle();
  bool shell5 = shell32Version_ >= 5;
  bool balloon = command == ncShowBalloon || command == ncHideBalloon;
  if (balloon && shell5) {
    PrepareBalloon(command == ncShowBalloon);
  } else if ((command == ncShow || command == ncHide) && shell5) {
    record_.uFlags = nif::State;
    record_.dwState = command == ncShow ? 0 : nis::Hidden;
    record_.dwStateMask = nis::Hidden | nis::SharedIcon;
  } else {
    CopyText(record_.szTip, shell5 ? sizeof record_.szTip : 64, tipHelp_);
    record_.uFlags = tipHelp_.empty() ? (nif::Message | nif::Icon) : (nif::Message | nif::Icon | nif::Tip);
    // The icon is asked for version 4 right after its add, under which
    // Windows Vista and later show the tip only when told to; older shells
    // do not know the flag and get none.
    if (!tipHelp_.empty() && vistaShell_) record_.uFlags |= nif::ShowTip;
  }

  uint32_t error = 0;
  switch (command) {
    case ncAdd: {
      if (!visible_) return;
      record_.hWnd = g_callbackWindow ? g_callbackWindow->Handle() : 0;
      if (Send(nim::Add, error)) {
        Added();
        return;
      }
      if (newerWindows_ && error == kErrorTimeout) {
        // A timed-out add may have gone through all the same: a modify tells.
        platform::Sleep(100);
        if (Send(nim::Modify, error)) {
          Added();
          return;
        }
        for (int attempt = 0; attempt < kMaxAddRetries; ++attempt) {
          if (attempt > 0) platform::Sleep(100);
          if (Send(nim::Add, error)) {
            Added();
            return;
          }
          if (error != kErrorTimeout) break;
        }
      }
      throw ENotifyIconError(kCannotRegister);
    }
    case ncModify:
      if (!Send(nim::Modify, error)) throw ENotifyIconError(kCannotRegister);
      return;
    case ncDelete:
      Send(nim::Delete, error);
      registered_ = false;
      return;
    case ncShowBalloon:
    case ncHideBalloon:
      if (visible_) {
        if (!Send(nim::Modify, error)) throw ENotifyIconError(kCannotSwitchBalloon);
      } else if (command == ncShowBalloon) {
        SetVisible(true);
        // Without any image the icon cannot be shown, and neither can its balloon.
        if (visible_) ShellNotify(ncShowBalloon);
      }
      return;
    case ncShow:
    case ncHide:
      Send(nim::Modify, error);
      return;
  }
}

void TTrayIcon::Added() {
  registered_ = true;
  notifyVersion_ = 0;
  selectFollows_ = false;
  // The version lasts as long as the icon is held: every add asks again.
  // Version 4 reports where the icon is (a menu opened from the keyboard
  // goes there); 3 is the oldest that lets the keyboard reach the icon.
  if (shell32Version_ < 5) return;
  for (uint32_t version : {platform::kNotifyIconVersion4, platform::kNotifyIconVersion}) {
    record_.uVersion = version;
    uint32_t error = 0;
    if (Send(platform::nim::SetVersion, error)) {
      notifyVersion_ = version;
      return;
    }
  }
  record_.uVersion = 0;
}

void TTrayIcon::ShowBalloon(TBalloonInfoIconFlag icon, const std::string& title) {
  ShowBalloon(icon, title, balloonText_, balloonTimeout_);
}

void TTrayIcon::ShowBalloon(TBalloonInfoIconFlag icon, const std::string& title, const std::string& text) {
  ShowBalloon(icon, title, text, balloonTimeout_);
}

void TTrayIcon::ShowBalloon(TBalloonInfoIconFlag icon, const std::string& title, const std::string& text, int timeout) {
  BalloonIcon = icon;
  SetBalloonTitle(title);
  SetBalloonText(text);
  SetBalloonTimeout(timeout);
  ShellNotify(ncHideBalloon);
  ShellNotify(ncShowBalloon);
}

// --- TCallbackWindow -------------------------------------------------------------

TCallbackWindow::TCallbackWindow(TComponent* owner) : TWinControl(owner, platform::WindowKind::Hidden) {
  TabStop = false;
  g_callbackWindow = this;
}

TCallbackWindow::~TCallbackWindow() {
  DetachHandle();
  // The shell knows the icons by this window: they go before it does (their
  // owner frees this window first, as it was created after them).
  for (auto& entry : Registry())
    if (entry.second->Registered() && entry.second->NotifyRecord().hWnd == Handle())
      entry.second->ShellNotify(TTrayIcon::ncDelete);
  if (g_callbackWindow == this) g_callbackWindow = nullptr;
}

TCallbackWindow* TCallbackWindow::Instance() { return g_callbackWindow; }

bool TCallbackWindow::WndProc(platform::Message& m) {
  if (m.msg == platform::wm::DpiChanged || m.msg == platform::wm::DisplayChange ||
      m.msg == platform::wm::SettingChange) {
    IconSizeMayHaveChanged();
    return TWinControl::WndProc(m);
  }
  if (m.msg != kTrayCallbackMessage) return TWinControl::WndProc(m);
  auto event = static_cast<uint32_t>(m.lParam);
  if ((event >> 16) != 0) {
    // A shell of version 4: the icon ID in the high word (never 0 for an
    // icon of ours), the event in the low word, the icon's place in wParam.
    auto word = [](std::uintptr_t value) { return static_cast<int>(static_cast<int16_t>(value & 0xFFFF)); };
    platform::Point anchor{word(m.wParam), word(m.wParam >> 16)};
    HandleCallback(event >> 16, event & 0xFFFF, &anchor);
  } else {
    HandleCallback(static_cast<uint32_t>(m.wParam), event, nullptr);
  }
  return true;
}

void TCallbackWindow::IconSizeMayHaveChanged() {
  // Copied first: a refresh that fails raises, and the list is the registry's.
  std::vector<std::pair<std::string, TTrayIcon*>> icons = Registry();
  for (auto& entry : icons) {
    TTrayIcon* icon = entry.second;
    if (TTrayIcon::FindByID(icon->IconID()) == icon && icon->Registered() &&
        icon->IconHandle() != icon->NotifyRecord().hIcon)
      icon->Refresh();
  }
}

namespace {

// The foreground step at a button release.
void ActivateForm(TTrayIcon* icon) {
  if (!icon->FormActiveByMouseup || !Application) return;
  if (TForm* form = Application->ActiveForm()) platform::BringToForeground(form->Handle());
}

}  // namespace

void TCallbackWindow::HandleCallback(uint32_t iconId, uint32_t event, const platform::Point* anchor) {
  int id = static_cast<int>(iconId);
  TTrayIcon* icon = TTrayIcon::FindByID(id);
  if (!icon) return;
  current_ = icon;
  if (!icon->Enabled()) return;
  platform::Point pt = platform::CursorPos();
  int x = pt.x, y = pt.y;
  // A shell that reports the keyboard follows a right button release with
  // WM_CONTEXTMENU and a left one with NIN_SELECT: the menu waits for those.
  // A message in the first layout cannot come from a shell of version 4.
  const bool keyboardShell = anchor != nullptr || icon->NotifyVersion() == platform::kNotifyIconVersion;

  // Returns true when the menu was dismissed without a choice.
  auto popup = [&](bool left, int atX, int atY) {
    // One menu at a time: a request that arrives while one is open (the
    // shell reports Enter twice, a click lands meanwhile) is dropped. The
    // chosen item's click runs after the menu has closed: it may open a
    // window from which the menu is asked for again.
    if (poppingUp_) return false;
    TMenuItem* chosen = nullptr;
    {
      poppingUp_ = true;
      auto done = OnScopeExit([this] { poppingUp_ = false; });
      if (auto* form = dynamic_cast<TForm*>(icon->Owner())) {
        platform::BringToForeground(form->Handle());
        if (Application) Application->ProcessMessages();
      }
      // The icon or its menu may be gone after the messages ran.
      TTrayIcon* still = TTrayIcon::FindByID(id);
      if (still != icon) return false;
      TPopupMenu* menu = left ? icon->LBPopupMenu() : icon->RBPopupMenu();
      if (!menu) return false;
      menu->PopupComponent = icon;
      chosen = menu->Track(atX, atY);
    }
    if (!chosen) return true;
    chosen->Click();
    return false;
  };
  // Enter or Space on the icon: its menu at the icon (the left button's,
  // else the right's), or OnClick when it has none; the keyboard goes back
  // to the notification area when the menu is dismissed.
  auto keyboardSelect = [&] {
    int atX = anchor ? anchor->x : x, atY = anchor ? anchor->y : y;
    bool left = icon->LBPopupMenu() != nullptr;
    if (!icon->AutoPopup || (!left && !icon->RBPopupMenu())) {
      Fire(icon->OnClick, icon);
      return;
    }
    if (popup(left, atX, atY) && TTrayIcon::FindByID(id) == icon) {
      uint32_t error = 0;
      icon->Send(platform::nim::SetFocus, error);
    }
  };

  using namespace platform;
  switch (event) {
    case wm::MouseMove:
      Fire(icon->OnMouseMove, icon, TShiftState(0), x, y);
      break;
    case wm::LButtonDown:
      if (icon->LBPopupMenu() && icon->AutoPopup)
        popup(true, x, y);
      else
        Fire(icon->OnMouseDown, icon, TMouseButton::mbLeft, ssLeft, x, y);
      break;
    case wm::LButtonUp:
      icon->selectFollows_ = keyboardShell;
      ActivateForm(icon);
      if (icon->OnMouseUp) {
        icon->OnMouseUp(icon, TMouseButton::mbLeft, ssLeft, x, y);
        break;
      }
      if (!icon->OnClick) {
        icon->clickPending_ = false;
      } else if (!icon->clickPending_) {
        icon->clickPending_ = true;
        (new TSingleClick)->Start();
      } else {
        icon->clickPending_ = false;
      }
      break;
    case wm::LButtonDblClk:
      icon->clickPending_ = true;
      Fire(icon->OnDblClick, icon);
      break;
    case wm::RButtonDown:
      break;
    case wm::RButtonUp:
      icon->contextFollows_ = keyboardShell;
      ActivateForm(icon);
      Fire(icon->OnMouseUp, icon, TMouseButton::mbRight, ssRight, x, y);
      if (TTrayIcon::FindByID(id) != icon) break;
      if (icon->RBPopupMenu() && icon->AutoPopup) {
        if (!keyboardShell) popup(false, x, y);
      } else {
        Fire(icon->OnMouseDown, icon, TMouseButton::mbRight, ssRight, x, y);
      }
      break;
    case kContextMenu: {
      // A right click, or Shift+F10 or the menu key on the icon (then the
      // keyboard goes back to the notification area when it is dismissed).
      bool byMouse = icon->contextFollows_;
      icon->contextFollows_ = false;
      if (icon->RBPopupMenu() && icon->AutoPopup) {
        bool dismissed = popup(false, anchor ? anchor->x : x, anchor ? anchor->y : y);
        if (dismissed && !byMouse && TTrayIcon::FindByID(id) == icon) {
          uint32_t error = 0;
          icon->Send(nim::SetFocus, error);
        }
      }
      break;
    }
    case nin::Select:
      // After a left button release it only repeats the click; without one
      // it is Enter on the icon.
      if (icon->selectFollows_) {
        icon->selectFollows_ = false;
        break;
      }
      keyboardSelect();
      break;
    case nin::KeySelect:
      keyboardSelect();
      break;
    case wm::MButtonDown:
      Fire(icon->OnMouseDown, icon, TMouseButton::mbMiddle, ssMiddle, x, y);
      break;
    case wm::MButtonUp:
      ActivateForm(icon);
      Fire(icon->OnMouseUp, icon, TMouseButton::mbMiddle, ssMiddle, x, y);
      break;
    case nin::BalloonShow:
      Fire(icon->OnBalloonShow, icon);
      break;
    case nin::BalloonHide:
      Fire(icon->OnBalloonHide, icon);
      break;
    case nin::BalloonTimeout:
      Fire(icon->OnBalloonTimeout, icon);
      break;
    case nin::BalloonUserClick:
      Fire(icon->OnBalloonClick, icon);
      break;
    default:
      break;
  }
}

void TCallbackWindow::SingleClickDecision() {
  TTrayIcon* icon = current_;
  if (!icon) return;
  int id = icon->IconID();
  if (icon->OnClick && icon->clickPending_) {
    TNotifyEvent onClick = icon->OnClick;  // the handler may free the icon
    onClick(icon);
  }
  if (TTrayIcon::FindByID(id) == icon) icon->clickPending_ = false;
}

// --- TSingleClick --------------------------------------------------------------------

TSingleClick::TSingleClick() {
  FreeOnTerminate = true;
  OnTerminate = [](TObject*) {
    if (TCallbackWindow* window = TCallbackWindow::Instance()) window->SingleClickDecision();
  };
}

void TSingleClick::Execute() {
  std::this_thread::sleep_for(std::chrono::milliseconds(platform::DoubleClickTime() + 50));
}

}  // namespace ts
