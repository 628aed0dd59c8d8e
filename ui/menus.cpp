#include "ui/menus.h"

#include <algorithm>

#include "platform/shell.h"
#include "ui/application.h"

namespace ts {

TMenuItem::TMenuItem(TComponent* owner) : TComponent(owner) {}

void TMenuItem::Click() {
  if (Enabled) Fire(OnClick, this);
}

TMenuItem::~TMenuItem() {
  for (TMenuItem* item : items_) RemoveFreeNotification(item);
}

void TMenuItem::Add(TMenuItem* item) {
  if (!item || item == this || std::find(items_.begin(), items_.end(), item) != items_.end()) return;
  items_.push_back(item);
  FreeNotification(item);
}

void TMenuItem::Clear() {
  while (!items_.empty()) delete items_.back();  // each leaves the list through its notification
}

void TMenuItem::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove)
    items_.erase(std::remove(items_.begin(), items_.end(), component), items_.end());
}

namespace {
// Numbers the visible items depth first; `shown[command - 1]` is the item.
std::vector<platform::MenuEntry> Entries(const std::vector<TMenuItem*>& items, std::vector<TMenuItem*>& shown) {
  std::vector<platform::MenuEntry> entries;
  for (TMenuItem* item : items) {
    if (!item->Visible) continue;
    shown.push_back(item);
    platform::MenuEntry e{static_cast<int>(shown.size()), item->Caption, item->Enabled, item->Checked, {}};
    std::vector<TMenuItem*> children;
    children.reserve(static_cast<size_t>(item->Count()));
    for (int i = 0; i < item->Count(); ++i) children.push_back(item->Items(i));
    e.submenu = Entries(children, shown);
    entries.push_back(std::move(e));
  }
  return entries;
}

bool Contains(const std::vector<TMenuItem*>& items, TMenuItem* wanted) {
  for (TMenuItem* item : items) {
    if (item == wanted) return true;
    std::vector<TMenuItem*> children;
    children.reserve(static_cast<size_t>(item->Count()));
    for (int i = 0; i < item->Count(); ++i) children.push_back(item->Items(i));
    if (Contains(children, wanted)) return true;
  }
  return false;
}
}  // namespace

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

TMenuItem* TPopupMenu::Track(int x, int y) {
  Fire(OnPopup, this);
  std::vector<TMenuItem*> shown;
  std::vector<platform::MenuEntry> entries = Entries(items_, shown);
  if (entries.empty()) return nullptr;
  platform::WindowHandle owner = Application ? Application->Handle() : 0;
  int command = platform::TrackPopup(owner, entries, x, y);
  // The items may have changed while the menu was open.
  if (command <= 0 || static_cast<size_t>(command) > shown.size()) return nullptr;
  TMenuItem* chosen = shown[static_cast<size_t>(command) - 1];
  if (!Contains(items_, chosen) || chosen->IsSeparator() || chosen->Count() != 0) return nullptr;
  return chosen;
}

bool TPopupMenu::Popup(int x, int y) {
  TMenuItem* chosen = Track(x, y);
  if (!chosen) return false;
  chosen->Click();
  return true;
}

}  // namespace ts
