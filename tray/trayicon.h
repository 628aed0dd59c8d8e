// The notification-area icon: its tip, visibility, popup menus, mouse and
// balloon events, and balloon messages. One hidden callback window receives
// the shell's reports for every icon of the process.
//
// Texts handed to the shell (tip, balloon title and text) are in the system
// code page, as the shell's record takes them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/shell.h"
#include "runtime/exception.h"
#include "ui/controls.h"
#include "ui/graphics.h"
#include "ui/menus.h"
#include "ui/thread.h"

namespace ts {

class ENotifyIconError : public Exception {
public:
  using Exception::Exception;
};

enum TBalloonInfoIconFlag { biifNone = 0, biifInfo = 1, biifWarning = 2, biifError = 3 };
using TBalloonTimeout = uint8_t;  // seconds, 10 to 60

// An image list for animation; the tray icon only keeps the reference.
class TImageList : public TComponent {
public:
  using TComponent::TComponent;
};

constexpr uint32_t kTrayCallbackMessage = 0x4C8;  // WM_USER + 200
constexpr int kMaxTrayIcons = 100;
// Repeats of an add that the shell keeps answering with a time-out.
constexpr int kMaxAddRetries = 50;

class TTrayIcon;

// The one window the shell reports to; owned by the owner of the first tray icon.
class TCallbackWindow : public TWinControl {
public:
  explicit TCallbackWindow(TComponent* owner);
  ~TCallbackWindow() override;
  // The icon named by the last callback message handled (none once it is freed).
  TTrayIcon* CurrentIcon() const { return current_; }
  static TCallbackWindow* Instance();

protected:
  bool WndProc(platform::Message& message) override;

private:
  friend class TTrayIcon;
  friend class TSingleClick;
  // `anchor`: the icon's place on screen, given by a shell of version 4
  // (whose messages carry it); none in the first layout.
  void HandleCallback(uint32_t iconId, uint32_t event, const platform::Point* anchor);
  void SingleClickDecision();
  // The icons' images follow the notification area's dpi.
  void IconSizeMayHaveChanged();
  TTrayIcon* current_ = nullptr;
  bool poppingUp_ = false;  // a menu of an icon is open
};

// Waits the double-click time plus 50 ms, then has the callback window decide
// on the GUI thread whether a left click was a single click.
class TSingleClick : public TThread {
public:
  TSingleClick();

protected:
  void Execute() override;
};

class TTrayIcon : public TComponent {
public:
  // Commands of ShellNotify.
  enum Command { ncAdd = 0, ncModify, ncDelete, ncShowBalloon, ncHideBalloon, ncShow, ncHide };

  // Raises ENotifyIconError when 100 icons are alive already.
  explicit TTrayIcon(TComponent* owner);
  ~TTrayIcon() override;

  TImageList* AnimateIcons() const { return animateIcons_; }
  void SetAnimateIcons(TImageList* images);
  int AnimateRate() const { return animateRate_; }
  void SetAnimateRate(int milliseconds);  // below 10 becomes 10
  bool AutoPopup = true;
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);  // false also cancels a pending single click
  TIcon& Icon() { return icon_; }
  void SetIcon(const TIcon* icon);  // copies the image; none releases it
  TPopupMenu* LBPopupMenu() const { return lbPopupMenu_; }
  void SetLBPopupMenu(TPopupMenu* menu);
  TPopupMenu* RBPopupMenu() const { return rbPopupMenu_; }
  void SetRBPopupMenu(TPopupMenu* menu);
  const std::string& TipHelp() const { return tipHelp_; }
  void SetTipHelp(const std::string& text);  // at most 63 bytes kept
  bool Visible() const { return visible_; }
  void SetVisible(bool visible);  // stays false while no image is available
  const std::string& BalloonTitle() const { return balloonTitle_; }
  void SetBalloonTitle(const std::string& text);  // at most 63 bytes, shows nothing
  const std::string& BalloonText() const { return balloonText_; }
  void SetBalloonText(const std::string& text);  // at most 255 bytes, shows nothing
  TBalloonInfoIconFlag BalloonIcon = biifNone;
  TBalloonTimeout BalloonTimeout() const { return balloonTimeout_; }
  void SetBalloonTimeout(int seconds);  // held within 10 to 60
  bool FormActiveByMouseup = false;

  TNotifyEvent OnClick, OnDblClick;
  TMouseEvent OnMouseDown, OnMouseUp;
  TMouseMoveEvent OnMouseMove;
  TNotifyEvent OnBalloonShow, OnBalloonHide, OnBalloonTimeout, OnBalloonClick;

  // Balloon messages; the shorter forms use the current text and time-out.
  void ShowBalloon(TBalloonInfoIconFlag icon, const std::string& title);
  void ShowBalloon(TBalloonInfoIconFlag icon, const std::string& title, const std::string& text);
  void ShowBalloon(TBalloonInfoIconFlag icon, const std::string& title, const std::string& text, int timeout);

  void ShellNotify(Command command);
  // The image shown: the own icon, else the owner form's, else the application's.
  platform::IconHandle IconHandle() const;
  void Refresh();  // sends a modify when the shell holds the icon

  // Reading from a stored form: call before the stored properties are set
  // (the first read starts from an empty tip), then EndLoading() when done,
  // which adds the icon if it was stored visible.
  void BeginReadState();

  int IconID() const { return iconId_; }
  bool Registered() const { return registered_; }
  // The version of the shell's callback protocol agreed after the add: 4 or
  // 3 (the keyboard reaches the icon), 0 (the first version: mouse only).
  uint32_t NotifyVersion() const { return notifyVersion_; }
  bool ClickPending() const { return clickPending_; }
  uint16_t Shell32Version() const { return shell32Version_; }
  bool NewerWindows() const { return newerWindows_; }
  const platform::NotifyIconData& NotifyRecord() const { return record_; }

  // The live icon with this ID, none when there is none.
  static TTrayIcon* FindByID(int id);
  static int LiveIconCount();

protected:
  void Loaded() override;
  void Notification(TComponent* component, TOperation operation) override;

private:
  friend class TCallbackWindow;
  bool Send(uint32_t message, uint32_t& lastError);
  void PrepareBalloon(bool show);
  // After a successful add: the newest callback protocol the shell speaks.
  void Added();

  int iconId_ = 0;
  bool registered_ = false;
  uint32_t notifyVersion_ = 0;
  // A left button release came from a shell that follows it with NIN_SELECT,
  // which is then the mouse's and not the keyboard's.
  bool selectFollows_ = false;
  // The same for a right button release and WM_CONTEXTMENU.
  bool contextFollows_ = false;
  bool clickPending_ = false;
  bool readingState_ = false;
  bool stateRead_ = false;
  uint16_t shell32Version_ = 0;
  bool newerWindows_ = false;
  bool vistaShell_ = false;  // Windows Vista or later with its shell32
  platform::NotifyIconData record_;

  TImageList* animateIcons_ = nullptr;
  int animateRate_ = 500;
  bool enabled_ = true;
  TIcon icon_;
  TPopupMenu* lbPopupMenu_ = nullptr;
  TPopupMenu* rbPopupMenu_ = nullptr;
  std::string tipHelp_ = "TipHelp";
  bool visible_ = false;
  std::string balloonTitle_, balloonText_;
  TBalloonTimeout balloonTimeout_ = 10;
};

// The first `limit` bytes of a system code page text, never ending inside a
// double-byte character.
std::string CutText(const std::string& text, size_t limit);

}  // namespace ts
