#include "app/protocol.h"

#include "runtime/text.h"

namespace ts {

uint32_t TProbeNumbers::Next(uint32_t range) {
  state_ = state_ * 134775813u + 1u;
  return static_cast<uint32_t>((static_cast<uint64_t>(state_) * range) >> 32);
}

std::string PercentEncodeAll(const std::string& bytes) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (unsigned char c : bytes) {
    out += '%';
    out += hex[c >> 4];
    out += hex[c & 15];
  }
  return out;
}

std::string PaperId(const platform::LocalTime& t) {
  return Format("%.4d%.2d%.2d%.2d%.2d%.2d%.3d", {t.year, t.month, t.day, t.hour, t.minute, t.second, t.milliseconds});
}

std::string BuildNoteDocument(const std::string& utf8Text, const platform::LocalTime& time) {
  return BuildNoteDocument(utf8Text, PaperId(time));
}

std::string BuildNoteDocument(const std::string& utf8Text, const std::string& paperId, const std::string& utf8Title) {
  std::string doc;
  doc.reserve((utf8Text.size() + utf8Title.size()) * 3 + 128);
  doc += "<xml><post><title>";
  doc += PercentEncodeAll(utf8Title);
  doc += "</title><body>";
  doc += PercentEncodeAll(utf8Text);
  doc += "</body><color>";
  doc += kNoteColour;
  doc += "</color><paperid>";
  doc += paperId;
  doc += "</paperid></post></xml>";
  return doc;
}

bool HasLoginMarker(const std::string& response) { return response.find(kLoginMarker) != std::string::npos; }
bool HasSuccessMarker(const std::string& response) { return response.find(kSuccessMarker) != std::string::npos; }

}  // namespace ts
