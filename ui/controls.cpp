#include "ui/controls.h"

#include <algorithm>

#include "ui/application.h"
#include "ui/forms.h"

namespace ts {

using platform::WindowKind;

// --- TFont -------------------------------------------------------------------

void TFont::SetName(const std::string& name) {
  fontSpec_.name = name;
  Changed();
}
void TFont::SetHeight(int height) {
  fontSpec_.height = height;
  Changed();
}
void TFont::SetCharset(int charset) {
  fontSpec_.charset = charset;
  Changed();
}
void TFont::SetBold(bool bold) {
  fontSpec_.bold = bold;
  Changed();
}
void TFont::Assign(const TFont& other) {
  fontSpec_ = other.fontSpec_;
  Changed();
}
void TFont::Changed() {
  if (OnChange) OnChange();
}

// --- dispatch ----------------------------------------------------------------

bool DispatchGuarded(const std::function<bool()>& handler) {
  try {
    return handler();
  } catch (const std::exception& e) {
    if (Application) Application->HandleException(e);
    return true;
  } catch (...) {
    if (Application) Application->ShowException("unknown error");
    return true;
  }
}

// --- TWinControl -------------------------------------------------------------

TWinControl::TWinControl(TComponent* owner, WindowKind kind)
    : TComponent(owner), kind_(kind), visible_(kind != WindowKind::Form && kind != WindowKind::Hidden) {
  handle_ = platform::NewWindow(kind, 0, [this](platform::Message& m) {
    if (!alive_) return false;
    return DispatchGuarded([&] { return WndProc(m); });
  });
  dpi_ = platform::WindowDpi(handle_);
  platform::SetWindowVisible(handle_, visible_ && kind != WindowKind::Form);
  font_.OnChange = [this] {
    ApplyFont();
    AdjustSize();
  };
  ApplyFont();
}

TWinControl::~TWinControl() {
  alive_ = false;
  if (TForm* form = ParentForm(); form && form->ActiveControl == this) form->ActiveControl = nullptr;
  for (TWinControl* child : children_) child->parent_ = nullptr;
  if (parent_) {
    auto& siblings = parent_->children_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    parent_->UpdateTabSequence();
  }
  platform::FreeWindow(handle_);
}

void TWinControl::SetParent(TWinControl* parent) {
  if (parent == parent_) return;
  if (parent_) {
    auto& siblings = parent_->children_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    parent_->UpdateTabSequence();
  }
  parent_ = parent;
  platform::SetWindowParent(handle_, parent ? parent->handle_ : 0);
  if (parent) {
    parent->children_.push_back(this);
    if (parent->dpi_ != dpi_) ChangeDpi(parent->dpi_);
    font_.Assign(parent->font_);
    ApplyBounds();
    parent->UpdateTabSequence();
  }
}

int TWinControl::ScaleLength(int length, int dpi) {
  // Rounded to the nearest pixel, halves away from zero (font heights are negative).
  long long product = static_cast<long long>(length) * dpi;
  long long half = platform::kBaseDpi / 2;
  return static_cast<int>((product + (product >= 0 ? half : -half)) / platform::kBaseDpi);
}

void TWinControl::ApplyFont() {
  platform::FontSpec scaled = font_.AsFontSpec();
  scaled.height = Scaled(scaled.height);
  platform::SetWindowFont(handle_, scaled);
}

void TWinControl::ApplyBounds() {
  if (!placed_) return;
  // The edges are scaled, not the sizes: controls that meet at 96 dpi meet
  // at every dpi, with no gap and no overlap from rounding.
  int left = Scaled(bounds_.left), top = Scaled(bounds_.top);
  int right = Scaled(bounds_.left + bounds_.width), bottom = Scaled(bounds_.top + bounds_.height);
  platform::SetWindowBounds(handle_, {left, top, right - left, bottom - top});
}

void TWinControl::ChangeDpi(int dpi) {
  dpi_ = dpi;
  ApplyFont();
  ApplyBounds();
  AdjustSize();
  for (TWinControl* child : children_) child->ChangeDpi(dpi);
}

platform::Point TWinControl::TextExtent(const std::string& utf8) const {
  platform::Point pixels = platform::MeasureText(handle_, utf8);
  auto unscale = [this](int length) {
    return static_cast<int>((static_cast<long long>(length) * platform::kBaseDpi + dpi_ - 1) / dpi_);
  };
  return {unscale(pixels.x), unscale(pixels.y)};
}

void TWinControl::SetAccessibleName(const std::string& utf8) { platform::SetAccessibleName(handle_, utf8); }

TForm* TWinControl::ParentForm() {
  TWinControl* c = this;
  while (c->parent_) c = c->parent_;
  return dynamic_cast<TForm*>(c);
}

void TWinControl::SetBounds(int left, int top, int width, int height) {
  bounds_ = {left, top, width, height};
  placed_ = true;
  ApplyBounds();
  AdjustSize();
}

void TWinControl::SetVisible(bool visible) {
  visible_ = visible;
  platform::SetWindowVisible(handle_, visible);
}

void TWinControl::SetEnabled(bool enabled) {
  enabled_ = enabled;
  platform::SetWindowEnabled(handle_, enabled);
}

std::string TWinControl::Caption() const { return platform::WindowCaption(handle_); }
void TWinControl::SetCaption(const std::string& utf8) {
  platform::SetWindowCaption(handle_, utf8);
  AdjustSize();
}

int TWinControl::TabOrder() const {
  if (!parent_) return -1;
  auto& siblings = parent_->children_;
  return static_cast<int>(std::find(siblings.begin(), siblings.end(), this) - siblings.begin());
}

void TWinControl::SetTabOrder(int order) {
  if (!parent_) return;
  auto& siblings = parent_->children_;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  size_t at = std::min(static_cast<size_t>(std::max(order, 0)), siblings.size());
  siblings.insert(siblings.begin() + static_cast<std::ptrdiff_t>(at), this);
  parent_->UpdateTabSequence();
}

void TWinControl::CollectTabSequence(std::vector<platform::WindowHandle>& out) const {
  for (TWinControl* c : children_) {
    // Labels are listed for the names they give; the backends skip them on Tab.
    bool listed = (c->TabStop || c->kind_ == WindowKind::Label) && c->kind_ != WindowKind::Hidden;
    if (listed) out.push_back(c->handle_);
    c->CollectTabSequence(out);
  }
}

void TWinControl::UpdateTabSequence() {
  TWinControl* root = this;
  while (root->parent_) root = root->parent_;
  std::vector<platform::WindowHandle> order;
  root->CollectTabSequence(order);
  platform::SetTabSequence(root->handle_, order);
}

void TWinControl::SetFocus() { platform::FocusWindow(handle_); }
bool TWinControl::Focused() const { return platform::FocusedWindow() == handle_; }

void TWinControl::Click() { Fire(OnClick, this); }

void TWinControl::KeyDown(uint16_t& key, TShiftState shift) { Fire(OnKeyDown, this, key, shift); }

bool TWinControl::WndProc(platform::Message& m) {
  switch (m.msg) {
    case platform::wm::KeyDown:
    case platform::wm::SysKeyDown: {
      TShiftState shift = 0;
      if (platform::KeyIsDown(16)) shift |= ssShift;
      if (platform::KeyIsDown(17)) shift |= ssCtrl;
      if (platform::KeyIsDown(18) || m.msg == platform::wm::SysKeyDown) shift |= ssAlt;
      uint16_t key = static_cast<uint16_t>(m.wParam);
      KeyDown(key, shift);
      return false;  // the key goes on to the control's own handling
    }
    case platform::wm::ControlClick:
      Click();
      return true;
    default:
      return false;
  }
}

// --- the controls --------------------------------------------------------------

TButton::TButton(TComponent* owner) : TWinControl(owner, WindowKind::Button) {}

void TButton::SetDefault(bool isDefault) {
  default_ = isDefault;
  platform::SetButtonDefault(Handle(), isDefault);
}

void TButton::Click() {
  if (ModalResult != mrNone)
    if (TForm* form = ParentForm()) form->SetModalResult(ModalResult);
  TWinControl::Click();
}

TEdit::TEdit(TComponent* owner) : TWinControl(owner, WindowKind::Edit) {}
TEdit::TEdit(TComponent* owner, WindowKind kind) : TWinControl(owner, kind) {}

void TEdit::SetPasswordChar(char ch) {
  passwordChar_ = ch;
  platform::SetPasswordChar(Handle(), ch);
}

void TEdit::SetReadOnly(bool readOnly) {
  readOnly_ = readOnly;
  platform::SetReadOnly(Handle(), readOnly);
}

TMemo::TMemo(TComponent* owner) : TEdit(owner, WindowKind::Memo) {}

TCheckBox::TCheckBox(TComponent* owner) : TWinControl(owner, WindowKind::CheckBox) {}
bool TCheckBox::Checked() const { return platform::Checked(Handle()); }
void TCheckBox::SetChecked(bool checked) { platform::SetChecked(Handle(), checked); }

TLabel::TLabel(TComponent* owner) : TWinControl(owner, WindowKind::Label) { TabStop = false; }

void TLabel::SetAutoSize(bool autoSize) {
  autoSize_ = autoSize;
  AdjustSize();
}

void TLabel::AdjustSize() {
  if (!autoSize_) return;
  platform::Point extent = TextExtent(Caption());
  if (extent.x != Width() || extent.y != Height()) SetBounds(Left(), Top(), extent.x, extent.y);
}

}  // namespace ts
