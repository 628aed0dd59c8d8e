#include "ui/forms.h"

#include <algorithm>

#include "runtime/scope.h"
#include "ui/application.h"

namespace ts {

namespace {
std::vector<TForm*>& Registry() {
  static std::vector<TForm*> forms;
  return forms;
}
// Forms in the order they were last shown.
std::vector<TForm*>& ShowOrder() {
  static std::vector<TForm*> order;
  return order;
}
void Forget(std::vector<TForm*>& list, TForm* form) {
  list.erase(std::remove(list.begin(), list.end(), form), list.end());
}
}  // namespace

const std::vector<TForm*>& Forms() { return Registry(); }

TForm* ActiveFormOf() {
  auto& order = ShowOrder();
  for (auto it = order.rbegin(); it != order.rend(); ++it)
    if ((*it)->Visible()) return *it;
  return nullptr;
}

TForm::TForm(TComponent* owner) : TWinControl(owner, platform::WindowKind::Form) { Registry().push_back(this); }

TForm::~TForm() {
  DetachHandle();
  Forget(Registry(), this);
  Forget(ShowOrder(), this);
  // What the form owns goes while its window still exists (a tray icon, for
  // one, takes itself out of the shell through a window of the form).
  while (ComponentCount() > 0) delete Components(ComponentCount() - 1);
}

void TForm::SetBorderStyle(TBorderStyle style) {
  borderStyle_ = style;
  platform::SetFormFrame(Handle(), style == TBorderStyle::bsToolWindow, borderIcons_);
}

void TForm::SetBorderIcons(bool present) {
  borderIcons_ = present;
  platform::SetFormFrame(Handle(), borderStyle_ == TBorderStyle::bsToolWindow, present);
}

void TForm::SetClientSize(int width, int height) {
  clientWidth_ = width;
  clientHeight_ = height;
  platform::SetClientSize(Handle(), Scaled(width), Scaled(height));
}

void TForm::ChangeDpi(int dpi) {
  TWinControl::ChangeDpi(dpi);
  if (clientWidth_ || clientHeight_) platform::SetClientSize(Handle(), Scaled(clientWidth_), Scaled(clientHeight_));
}

TWinControl* TForm::FirstFocusable(TWinControl* within) {
  for (TWinControl* c : within->children_) {
    bool focusable = c->TabStop && c->Visible() && c->Enabled() && c->kind_ != platform::WindowKind::Label &&
                     c->kind_ != platform::WindowKind::Hidden;
    if (focusable) return c;
    if (TWinControl* inner = FirstFocusable(c)) return inner;
  }
  return nullptr;
}

void TForm::SetVisible(bool visible) {
  if (visible == Visible()) return;
  if (visible) {
    Fire(OnShow, this);
    if (Position != TPosition::poDesigned) platform::CenterOnScreen(Handle());
    // Laid out for the monitor it opens on (which may not be the one the
    // form was made on).
    if (int dpi = platform::WindowDpi(Handle()); dpi != Dpi()) {
      ChangeDpi(dpi);
      if (Position != TPosition::poDesigned) platform::CenterOnScreen(Handle());
    }
    TWinControl::SetVisible(true);
    Forget(ShowOrder(), this);
    ShowOrder().push_back(this);
    platform::BringToForeground(Handle());
    if (ActiveControl && ActiveControl->Visible() && ActiveControl->Enabled())
      ActiveControl->SetFocus();
    else if (TWinControl* first = FirstFocusable(this))
      first->SetFocus();
  } else {
    TWinControl::SetVisible(false);
  }
}

int TForm::ShowModal() {
  if (Visible() || !Enabled() || modal_)
    throw EInvalidOperation("表示されているウィンドウをモーダルにすることはできません");
  std::vector<TForm*> disabled;
  for (TForm* f : Registry())
    if (f != this && f->Visible() && f->Enabled()) {
      f->SetEnabled(false);
      disabled.push_back(f);
    }
  auto restore = OnScopeExit([this, &disabled] {
    modal_ = false;
    Hide();
    for (TForm* f : disabled)
      if (std::find(Registry().begin(), Registry().end(), f) != Registry().end()) f->SetEnabled(true);
  });

  modal_ = true;
  modalResult_ = mrNone;
  Show();
  for (;;) {
    if (Application && Application->Terminated()) {
      modalResult_ = mrCancel;
      break;
    }
    if (modalResult_ != mrNone) {
      bool canClose = false;
      DispatchGuarded([&] {
        canClose = CloseQuery();
        return true;
      });
      if (canClose) break;
      modalResult_ = mrNone;
      continue;
    }
    if (Application) {
      Application->HandleMessage();
    } else if (platform::PumpMessage(true) == platform::Pumped::Quit) {
      modalResult_ = mrCancel;
      break;
    }
  }
  return modalResult_;
}

bool TForm::CloseQuery() {
  bool canClose = true;
  Fire(OnCloseQuery, this, canClose);
  return canClose;
}

void TForm::Close() {
  if (modal_) {
    modalResult_ = mrCancel;
    // Close may run inside a sent message (a tray menu command, WM_CLOSE from
    // another program), which the waiting modal loop handles without
    // returning: wake it so that it sees the result.
    platform::PostToWindow(Handle(), platform::wm::Null, 0, 0);
    return;
  }
  if (!CloseQuery()) return;
  Hide();
  if (Application && Application->MainForm() == this) Application->Terminate();
}

bool TForm::WndProc(platform::Message& m) {
  switch (m.msg) {
    case platform::wm::Close:
      Close();
      return true;
    case platform::wm::QueryEndSession:
      m.result = 0;
      m.result = CloseQuery() ? 1 : 0;
      return true;
    case platform::wm::DpiChanged: {
      int dpi = static_cast<int>(m.wParam & 0xFFFF);
      if (dpi > 0 && dpi != Dpi()) ChangeDpi(dpi);
      // The size is the form's own (its client area scaled); the place is
      // the one suggested, which keeps the window under the pointer.
      if (const auto* suggested = reinterpret_cast<const platform::Rect*>(m.lParam)) {
        platform::Rect now = platform::WindowBounds(Handle());
        platform::SetWindowBounds(Handle(), {suggested->left, suggested->top, now.width, now.height});
      }
      m.result = 0;
      return true;
    }
    default:
      return TWinControl::WndProc(m);
  }
}

}  // namespace ts
