// Base object and event types shared by every layer.
#pragma once

#include <functional>

namespace ts {

class TObject {
public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// Events are plain callables with the sender first; an empty one is skipped.
using TNotifyEvent = std::function<void(TObject* sender)>;

template <typename Event, typename... Args>
inline void Fire(const Event& event, Args&&... args) {
  if (event) event(std::forward<Args>(args)...);
}

}  // namespace ts
