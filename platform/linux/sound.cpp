// Cues through the desktop's sound server (PulseAudio, or PipeWire's
// PulseAudio service). Without a server the cue is silently not played.
#include "platform/sound.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace platform {

namespace {
uint32_t Le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

struct Wave {
  uint16_t format = 0, channels = 0, bits = 0;
  uint32_t rate = 0;
  const unsigned char* data = nullptr;
  size_t size = 0;
};

// The PCM chunks of a RIFF WAVE image; false for anything else.
bool Parse(const unsigned char* p, size_t n, Wave& w) {
  if (n < 12 || std::memcmp(p, "RIFF", 4) != 0 || std::memcmp(p + 8, "WAVE", 4) != 0) return false;
  size_t at = 12;
  while (at + 8 <= n) {
    uint32_t len = Le32(p + at + 4);
    const unsigned char* body = p + at + 8;
    size_t avail = n - at - 8;
    if (std::memcmp(p + at, "fmt ", 4) == 0 && len >= 16 && avail >= 16) {
      w.format = Le16(body);
      w.channels = Le16(body + 2);
      w.rate = Le32(body + 4);
      w.bits = Le16(body + 14);
    } else if (std::memcmp(p + at, "data", 4) == 0) {
      w.data = body;
      w.size = len < avail ? len : avail;
    }
    at += 8 + static_cast<size_t>(len) + (len & 1);
  }
  return w.format == 1 && w.data && w.channels > 0 && w.rate > 0 && (w.bits == 8 || w.bits == 16);
}
}  // namespace

bool PlaySoundFromMemory(const void* wavImage, size_t size) {
  Wave w;
  if (!wavImage || !Parse(static_cast<const unsigned char*>(wavImage), size, w)) return false;
  pa_sample_spec sample{};
  sample.format = w.bits == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
  sample.channels = static_cast<uint8_t>(w.channels);
  sample.rate = w.rate;
  int error = 0;
  pa_simple* s =
      pa_simple_new(nullptr, "text snap", PA_STREAM_PLAYBACK, nullptr, "cue", &sample, nullptr, nullptr, &error);
  if (!s) return false;
  bool ok = pa_simple_write(s, w.data, w.size, &error) == 0 && pa_simple_drain(s, &error) == 0;
  pa_simple_free(s);
  return ok;
}

}  // namespace platform
