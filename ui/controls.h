// Windowed controls: the base TWinControl and the button, edit, check box,
// label and memo the client's windows are made of. Every control owns a
// window handle from construction on. All texts of the ui layer are UTF-8.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/window.h"
#include "runtime/component.h"

namespace ts {

class TForm;

// Shift state of key and mouse events.
using TShiftState = unsigned;
constexpr TShiftState ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16, ssMiddle = 32, ssDouble = 64;

enum class TMouseButton { mbLeft, mbRight, mbMiddle };

using TKeyEvent = std::function<void(TObject* sender, uint16_t& key, TShiftState shift)>;
using TMouseEvent = std::function<void(TObject* sender, TMouseButton button, TShiftState shift, int x, int y)>;
using TMouseMoveEvent = std::function<void(TObject* sender, TShiftState shift, int x, int y)>;

// Character sets of fonts.
constexpr int kDefaultCharset = 1;
constexpr int kShiftJisCharset = 128;

// A font description; changing it updates the control that holds it.
class TFont {
public:
  const std::string& Name() const { return fontSpec_.name; }
  void SetName(const std::string& name);
  int Height() const { return fontSpec_.height; }  // < 0 character height, > 0 cell height (pixels, 96 dpi)
  void SetHeight(int height);
  int Charset() const { return fontSpec_.charset; }
  void SetCharset(int charset);
  bool Bold() const { return fontSpec_.bold; }
  void SetBold(bool bold);
  void Assign(const TFont& other);
  const platform::FontSpec& AsFontSpec() const { return fontSpec_; }

  std::function<void()> OnChange;

private:
  void Changed();
  platform::FontSpec fontSpec_{"ＭＳ Ｐゴシック", -12, kShiftJisCharset, false};
};

class TWinControl : public TComponent {
public:
  TWinControl(TComponent* owner, platform::WindowKind kind);
  ~TWinControl() override;

  platform::WindowHandle Handle() const { return handle_; }

  TWinControl* Parent() const { return parent_; }
  void SetParent(TWinControl* parent);  // also takes the parent's font
  TForm* ParentForm();

  // Bounds in the parent's client area, at 96 dpi whatever the monitor's:
  // the control scales them (and its font) by Dpi() / 96 for the system.
  int Left() const { return bounds_.left; }
  int Top() const { return bounds_.top; }
  int Width() const { return bounds_.width; }
  int Height() const { return bounds_.height; }
  void SetBounds(int left, int top, int width, int height);
  // The dpi the control is drawn at: its form's, which follows the monitor.
  int Dpi() const { return dpi_; }
  // A length at 96 dpi in the control's own pixels (rounded to the nearest).
  int Scaled(int length) const { return ScaleLength(length, dpi_); }
  static int ScaleLength(int length, int dpi);

  bool Visible() const { return visible_; }
  virtual void SetVisible(bool visible);
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);

  // The caption of a button, check box, label or form; the text of an edit or memo.
  std::string Caption() const;
  void SetCaption(const std::string& utf8);
  std::string Text() const { return Caption(); }
  void SetText(const std::string& utf8) { SetCaption(utf8); }

  TFont& Font() { return font_; }

  // The name a screen reader gives the control when its caption, or the
  // label just before it in TabOrder, does not say what it is for.
  void SetAccessibleName(const std::string& utf8);

  // Position among the parent's children in keyboard focus order. Labels
  // have one too: a label names the control after it for screen readers.
  int TabOrder() const;
  void SetTabOrder(int order);
  bool TabStop = true;

  void SetFocus();
  bool Focused() const;
  // The extent of a text in the control's font, at 96 dpi (rounded up, so
  // that a box of this size holds the text at the control's dpi).
  platform::Point TextExtent(const std::string& utf8) const;

  // Runs the click behaviour, as a mouse click would.
  virtual void Click();

  TNotifyEvent OnClick;
  // Every key pressed while the control has the focus, keys with Alt included.
  TKeyEvent OnKeyDown;

protected:
  // The control's message handler; true when the message was handled.
  // Overrides call the inherited one for messages they do not take.
  virtual bool WndProc(platform::Message& message);
  virtual void KeyDown(uint16_t& key, TShiftState shift);
  // After the caption or the font changed.
  virtual void AdjustSize() {}
  // The control moves to another dpi: its font, its bounds and (in turn)
  // its children's follow.
  virtual void ChangeDpi(int dpi);
  // Stops messages from reaching this object; destructors of classes that
  // override WndProc call it first.
  void DetachHandle() { alive_ = false; }

private:
  friend class TForm;
  void CollectTabSequence(std::vector<platform::WindowHandle>& out) const;
  void UpdateTabSequence();
  void ApplyFont();
  void ApplyBounds();

  platform::WindowHandle handle_ = 0;
  platform::WindowKind kind_;
  TWinControl* parent_ = nullptr;
  std::vector<TWinControl*> children_;  // in focus order
  platform::Rect bounds_;
  bool placed_ = false;  // bounds were given (a form is sized by its client area instead)
  int dpi_ = platform::kBaseDpi;
  bool visible_;
  bool enabled_ = true;
  bool alive_ = true;
  TFont font_;
};

class TButton : public TWinControl {
public:
  explicit TButton(TComponent* owner);
  bool Default() const { return default_; }
  void SetDefault(bool isDefault);  // Enter anywhere in the form clicks it
  int ModalResult = 0;              // non-zero: a click ends the form's modal display with it
  void Click() override;

private:
  bool default_ = false;
};

class TEdit : public TWinControl {
public:
  explicit TEdit(TComponent* owner);
  char PasswordChar() const { return passwordChar_; }
  void SetPasswordChar(char ch);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool readOnly);
  bool AutoSize = true;  // kept for the layout; the height is what SetBounds gives

protected:
  explicit TEdit(TComponent* owner, platform::WindowKind kind);

private:
  char passwordChar_ = 0;
  bool readOnly_ = false;
};

class TMemo : public TEdit {
public:
  explicit TMemo(TComponent* owner);
};

class TCheckBox : public TWinControl {
public:
  explicit TCheckBox(TComponent* owner);
  bool Checked() const;
  void SetChecked(bool checked);
};

// A caption; a CR, LF or CR LF in it starts a new line.
class TLabel : public TWinControl {
public:
  explicit TLabel(TComponent* owner);
  // With AutoSize (the default) the label takes the size of its caption,
  // keeping its left and top; without it, the size given by SetBounds.
  bool AutoSize() const { return autoSize_; }
  void SetAutoSize(bool autoSize);

protected:
  void AdjustSize() override;

private:
  bool autoSize_ = true;
};

// Runs the handler and shows an error that escapes it, as the message loop
// does; the way every message reaches the controls.
bool DispatchGuarded(const std::function<bool()>& handler);

}  // namespace ts
