#include "platform/sound.h"

#include <mutex>
#include <string>
#include <vector>

#include "platform/headless/control.h"

namespace platform {

namespace {
std::mutex g_lock;
std::vector<std::string> g_played;
bool g_fails = false;
}  // namespace

bool PlaySoundFromMemory(const void* wavImage, size_t size) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_played.emplace_back(static_cast<const char*>(wavImage), size);
  return !g_fails;
}

namespace headless {
const std::vector<std::string>& PlayedSounds() { return g_played; }
void ClearPlayedSounds() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_played.clear();
}
void SetSoundFails(bool fails) { g_fails = fails; }
}  // namespace headless

}  // namespace platform
