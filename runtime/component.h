// Component model: an owner frees what it owns; a component that points at
// another asks for free notification and forgets the pointer when told.
#pragma once

#include <string>
#include <vector>

#include "runtime/object.h"

namespace ts {

enum class TOperation { opInsert, opRemove };

class TComponent : public TObject {
public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  int Tag() const { return tag_; }
  void SetTag(int tag) { tag_ = tag; }

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_.at(static_cast<size_t>(index)); }
  TComponent* FindComponent(const std::string& name) const;

  // Ask to be told (through Notification with opRemove) when `other` is freed.
  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

  // Loading state: set while the component's stored properties are read,
  // cleared by Loaded(), which a component overrides for its load-completed work.
  bool Loading() const { return loading_; }
  void BeginLoading() { loading_ = true; }
  void EndLoading();  // clears the flag and calls Loaded()
  // True from the moment the component's own (base) destructor runs, which is
  // when its owner and the components that asked for free notification are
  // told: a derived destructor has nothing to do for it.
  bool Destroying() const { return destroying_; }

protected:
  virtual void Notification(TComponent* component, TOperation operation);
  virtual void Loaded() {}

private:
  void InsertComponent(TComponent* child);
  void RemoveComponent(TComponent* child);
  void NotifyRemoval();

  TComponent* owner_ = nullptr;
  std::string name_;
  int tag_ = 0;
  bool loading_ = false;
  bool destroying_ = false;
  std::vector<TComponent*> components_;
  std::vector<TComponent*> freeNotifies_;
};

}  // namespace ts
