#include "runtime/collection.h"

#include <algorithm>

#include "runtime/exception.h"
#include "runtime/text.h"

namespace ts {

TCollectionItem::TCollectionItem(TCollection* collection) {
  if (collection) collection->InsertItem(this);
}

TCollectionItem::~TCollectionItem() {
  if (collection_) collection_->RemoveItem(this);
}

void TCollectionItem::RemoveFromCollection() {
  if (collection_) collection_->RemoveItem(this);
}

int TCollectionItem::Index() const {
  if (!collection_) return -1;
  auto& items = collection_->items_;
  auto it = std::find(items.begin(), items.end(), this);
  return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

void TCollectionItem::SetIndex(int index) {
  int current = Index();
  if (current >= 0 && index >= 0 && index != current) collection_->MoveItem(current, index);
}

TCollection::TCollection(ItemFactory factory) : factory_(std::move(factory)) {}

TCollection::~TCollection() { Clear(); }

TCollectionItem* TCollection::Items(int index) const {
  if (index < 0 || index >= Count()) throw EListError(Format("リストのインデックスが範囲を超えています (%d)", {index}));
  return items_[static_cast<size_t>(index)];
}

TCollectionItem* TCollection::Add() { return factory_(this); }

TCollectionItem* TCollection::Insert(int index) {
  TCollectionItem* item = Add();
  item->SetIndex(index);
  return item;
}

void TCollection::Delete(int index) { delete Items(index); }

void TCollection::Clear() {
  while (!items_.empty()) delete items_.back();
}

TCollectionItem* TCollection::FindItemID(int id) const {
  for (TCollectionItem* item : items_)
    if (item->id_ == id) return item;
  return nullptr;
}

void TCollection::InsertItem(TCollectionItem* item) {
  item->collection_ = this;
  item->id_ = nextId_++;
  items_.push_back(item);
  Notify(item, true);
}

void TCollection::RemoveItem(TCollectionItem* item) {
  // Searched from the end: Clear() frees the newest item first, which makes
  // emptying a large collection linear rather than quadratic.
  auto it = std::find(items_.rbegin(), items_.rend(), item);
  if (it == items_.rend()) return;
  Notify(item, false);
  items_.erase(std::find(items_.rbegin(), items_.rend(), item).base() - 1);
  item->collection_ = nullptr;
}

void TCollection::MoveItem(int from, int to) {
  if (to >= Count()) to = Count() - 1;
  TCollectionItem* item = items_[static_cast<size_t>(from)];
  items_.erase(items_.begin() + from);
  items_.insert(items_.begin() + to, item);
}

}  // namespace ts
