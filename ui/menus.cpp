#include "ui/menus.h"

#include <algorithm>

#include "platform/shell.h"
#include "ui/application.h"

namespace ts {

TMenuItem::TMenuItem(TComponent* owner) : TComponent(owner) {}

void TMenuItem::Click() {
  if (Enabled) Fire(OnClick, this);
}

TPopupMenu::TPopupMenu(TComponent* owner) : TComponent(owner) {}

TPopupMenu::~TPopupMenu() {
  for (TMenuItem* item : items_) RemoveFreeNotification(item);
}

void TPopupMenu::Add(TMenuItem* item) {
  if (!item || std::find(items_.begin(), items_.end(), item) != items_.end()) return;
  items_.push_back(item);
  FreeNotification(item);
}

void TPopupMenu::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove)
    items_.erase(std::remove(items_.begin(), items_.end(), component), items_.end());
}

void TPopupMenu::Popup(int x, int y) {
  Fire(OnPopup, this);
  std::vector<platform::MenuEntry> entries;
  std::vector<TMenuItem*> shown;
  for (TMenuItem* item : items_) {
    if (!item->Visible) continue;
    shown.push_back(item);
    entries.push_back({static_cast<int>(shown.size()), item->Caption, item->Enabled, item->Checked});
  }
  if (entries.empty()) return;
  platform::WindowHandle owner = Application ? Application->Handle() : 0;
  int command = platform::TrackPopup(owner, entries, x, y);
  // The items may have changed while the menu was open.
  if (command <= 0 || static_cast<size_t>(command) > shown.size()) return;
  TMenuItem* chosen = shown[static_cast<size_t>(command) - 1];
  if (std::find(items_.begin(), items_.end(), chosen) != items_.end() && !chosen->IsSeparator()) chosen->Click();
}

}  // namespace ts
