// Popup menus with items and separators; a chosen item raises its OnClick.
#pragma once

#include <string>
#include <vector>

#include "runtime/component.h"

namespace ts {

class TMenuItem : public TComponent {
public:
  explicit TMenuItem(TComponent* owner);
  std::string Caption;  // UTF-8; "-" makes a separator
  bool Enabled = true;
  bool Visible = true;
  bool Checked = false;
  bool IsSeparator() const { return Caption == "-"; }
  void Click();  // raises OnClick when enabled
  TNotifyEvent OnClick;

  // Items of the submenu this item opens (none: a plain item). An added item
  // stays owned by its own owner; a freed one leaves the list by itself.
  void Add(TMenuItem* item);
  void Clear();  // frees the submenu's items
  int Count() const { return static_cast<int>(items_.size()); }
  TMenuItem* Items(int index) const { return items_.at(static_cast<size_t>(index)); }
  ~TMenuItem() override;

protected:
  void Notification(TComponent* component, TOperation operation) override;

private:
  std::vector<TMenuItem*> items_;
};

class TPopupMenu : public TComponent {
public:
  explicit TPopupMenu(TComponent* owner);
  ~TPopupMenu() override;

  void Add(TMenuItem* item);  // the item stays owned by its own owner
  int Count() const { return static_cast<int>(items_.size()); }
  TMenuItem* Items(int index) const { return items_.at(static_cast<size_t>(index)); }

  // Shows the menu at a screen position and tracks it; a chosen item's click
  // is raised before this returns. False when the menu was dismissed.
  bool Popup(int x, int y);
  // The same without the click: the item chosen (a plain item still in the
  // menu), none when the menu was dismissed.
  TMenuItem* Track(int x, int y);
  TComponent* PopupComponent = nullptr;
  TNotifyEvent OnPopup;

protected:
  void Notification(TComponent* component, TOperation operation) override;

private:
  std::vector<TMenuItem*> items_;
};

}  // namespace ts
