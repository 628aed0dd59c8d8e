#include "ui/graphics.h"

#include "platform/shell.h"

namespace ts {

TIcon::~TIcon() {
  if (handle_) platform::FreeIconHandle(handle_);
}

void TIcon::SetHandle(platform::IconHandle handle) {
  if (handle == handle_) return;
  if (handle_) platform::FreeIconHandle(handle_);
  handle_ = handle;
  Fire(OnChange, this);
}

void TIcon::Assign(const TIcon* other) {
  SetHandle(other && other->handle_ ? platform::CopyIconHandle(other->handle_) : 0);
}

}  // namespace ts
