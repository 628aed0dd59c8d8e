#include "runtime/component.h"

#include <algorithm>

namespace ts {

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  destroying_ = true;
  NotifyRemoval();
  // Free owned components last-created first, as they were built on each other.
  while (!components_.empty()) {
    TComponent* child = components_.back();
    components_.pop_back();
    child->owner_ = nullptr;
    delete child;
  }
  if (owner_) owner_->RemoveComponent(this);
}

void TComponent::NotifyRemoval() {
  // Everyone who asked is told once; the list may change while we walk it.
  while (!freeNotifies_.empty()) {
    TComponent* other = freeNotifies_.back();
    freeNotifies_.pop_back();
    auto& theirs = other->freeNotifies_;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
    other->Notification(this, TOperation::opRemove);
  }
  if (owner_) owner_->Notification(this, TOperation::opRemove);
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  for (TComponent* c : components_)
    if (c->name_ == name) return c;
  return nullptr;
}

void TComponent::FreeNotification(TComponent* other) {
  if (!other || other == this) return;
  if (std::find(freeNotifies_.begin(), freeNotifies_.end(), other) == freeNotifies_.end())
    freeNotifies_.push_back(other);
  if (std::find(other->freeNotifies_.begin(), other->freeNotifies_.end(), this) == other->freeNotifies_.end())
    other->freeNotifies_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* other) {
  if (!other) return;
  freeNotifies_.erase(std::remove(freeNotifies_.begin(), freeNotifies_.end(), other), freeNotifies_.end());
  other->freeNotifies_.erase(std::remove(other->freeNotifies_.begin(), other->freeNotifies_.end(), this),
                             other->freeNotifies_.end());
}

void TComponent::EndLoading() {
  loading_ = false;
  Loaded();
}

void TComponent::Notification(TComponent* /*component*/, TOperation /*operation*/) {}

void TComponent::InsertComponent(TComponent* child) {
  child->owner_ = this;
  components_.push_back(child);
  Notification(child, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* child) {
  components_.erase(std::remove(components_.begin(), components_.end(), child), components_.end());
  child->owner_ = nullptr;
}

}  // namespace ts
