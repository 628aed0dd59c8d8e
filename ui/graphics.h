// Icons: an owned icon image with a change notification.
#pragma once

#include "platform/window.h"
#include "runtime/object.h"

namespace ts {

class TIcon : public TObject {
public:
  TIcon() = default;
  ~TIcon() override;
  platform::IconHandle Handle() const { return handle_; }
  bool Empty() const { return handle_ == 0; }
  // Takes ownership of the image (0 releases it).
  void SetHandle(platform::IconHandle handle);
  // Copies the other icon's image into this one (none: releases this one's).
  void Assign(const TIcon* other);
  TNotifyEvent OnChange;

private:
  platform::IconHandle handle_ = 0;
};

}  // namespace ts
