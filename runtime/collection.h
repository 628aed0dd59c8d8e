// Collections of items that know their collection, their index and a unique ID.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "runtime/component.h"

namespace ts {

class TCollection;

class TCollectionItem : public TObject {
public:
  explicit TCollectionItem(TCollection* collection);
  ~TCollectionItem() override;

  TCollection* Collection() const { return collection_; }
  int Index() const;
  void SetIndex(int index);
  int ID() const { return id_; }

protected:
  // Leave the collection before the base destructor would, so a derived item
  // can act (raise its own events) once it is no longer listed.
  void RemoveFromCollection();

private:
  friend class TCollection;
  TCollection* collection_ = nullptr;
  int id_ = 0;
};

class TCollection : public TObject {
public:
  using ItemFactory = std::function<TCollectionItem*(TCollection*)>;

  explicit TCollection(ItemFactory factory);
  ~TCollection() override;

  int Count() const { return static_cast<int>(items_.size()); }
  TCollectionItem* Items(int index) const;
  TCollectionItem* Add();  // a new item of the collection's item class, at the end
  TCollectionItem* Insert(int index);
  void Delete(int index);
  void Clear();
  TCollectionItem* FindItemID(int id) const;
  int NextID() const { return nextId_; }

  // Change hooks for derived collections.
  virtual void Notify(TCollectionItem* /*item*/, bool /*added*/) {}
  virtual void Update(TCollectionItem* /*item*/) {}

private:
  friend class TCollectionItem;
  void InsertItem(TCollectionItem* item);
  void RemoveItem(TCollectionItem* item);
  void MoveItem(int from, int to);

  ItemFactory factory_;
  std::vector<TCollectionItem*> items_;
  int nextId_ = 0;
};

// A collection that knows the component it belongs to.
class TOwnedCollection : public TCollection {
public:
  TOwnedCollection(TObject* owner, ItemFactory factory) : TCollection(std::move(factory)), owner_(owner) {}
  TObject* Owner() const { return owner_; }

private:
  TObject* owner_;
};

}  // namespace ts
