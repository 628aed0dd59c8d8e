// Forms: top-level windows with caption, frame, client size, placement, modal
// display with a modal result, and the close query.
#pragma once

#include <functional>

#include "runtime/exception.h"
#include "ui/controls.h"
#include "ui/graphics.h"

namespace ts {

constexpr int mrNone = 0, mrOk = 1, mrCancel = 2;

enum class TBorderStyle { bsSingle, bsSizeable, bsDialog, bsToolWindow };
enum class TPosition { poDesigned, poScreenCenter, poDesktopCenter };

using TCloseQueryEvent = std::function<void(TObject* sender, bool& canClose)>;

// Raised by an operation that the window's state does not allow.
class EInvalidOperation : public Exception {
public:
  using Exception::Exception;
};

class TForm : public TWinControl {
public:
  explicit TForm(TComponent* owner);
  ~TForm() override;

  TBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle style);
  bool BorderIcons() const { return borderIcons_; }
  void SetBorderIcons(bool present);  // false: no system menu, no close box
  // At 96 dpi, as every bound of the toolkit; the form scales it to its dpi.
  int ClientWidth() const { return clientWidth_; }
  int ClientHeight() const { return clientHeight_; }
  void SetClientSize(int width, int height);
  TPosition Position = TPosition::poDesigned;  // where the form goes when shown

  void SetVisible(bool visible) override;  // showing runs OnShow first

  // Shows the form, disables the application's other forms and runs messages
  // until a modal result is set and the close query allows the close; returns
  // that result. An error raised by the close query is shown and the form stays.
  int ShowModal();
  bool Modal() const { return modal_; }
  int ModalResult() const { return modalResult_; }
  void SetModalResult(int result) { modalResult_ = result; }

  // Modal: ends the display with mrCancel. Otherwise runs the close query and,
  // when allowed, hides the form; closing the main form terminates the
  // application. An error of the close query reaches the caller.
  void Close();
  bool CloseQuery();  // false when OnCloseQuery refuses

  // Gets the focus when the form is shown; none: the first control in focus order.
  TWinControl* ActiveControl = nullptr;
  // The form's own icon; empty unless given one.
  TIcon& Icon() { return icon_; }

  TNotifyEvent OnShow;
  TCloseQueryEvent OnCloseQuery;

protected:
  // Takes wm::Close (as Close), wm::QueryEndSession (the close query decides)
  // and wm::DpiChanged (the form and its controls are laid out again for the
  // new dpi, at the place the system suggests).
  bool WndProc(platform::Message& message) override;
  void ChangeDpi(int dpi) override;

private:
  static TWinControl* FirstFocusable(TWinControl* within);
  TBorderStyle borderStyle_ = TBorderStyle::bsSizeable;
  bool borderIcons_ = true;
  int clientWidth_ = 0, clientHeight_ = 0;
  bool modal_ = false;
  int modalResult_ = mrNone;
  TIcon icon_;
};

// The forms alive now, oldest first; the active one is the form shown last that is still visible.
const std::vector<TForm*>& Forms();
TForm* ActiveFormOf();

}  // namespace ts
