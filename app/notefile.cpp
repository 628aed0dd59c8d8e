#include "app/notefile.h"

#include <array>

#include "platform/file.h"

namespace ts {

namespace {
constexpr char kMark[4] = {'T', 'S', 'N', '\x01'};
constexpr uint8_t kTitled = 0x80;  // in the state byte: a title comes before the text

void PutLe(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}
uint32_t GetLe(const std::string& in, size_t at, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  return value;
}
bool MarkAt(const std::string& bytes, size_t at) {
  return bytes.size() - at >= 4 && bytes.compare(at, 4, kMark, 4) == 0;
}

enum class TPayload { plNote, plUnknownState, plDamaged };

TPayload DecodePayload(const std::string& payload, TNoteRecord& note) {
  if (payload.size() < 4) return TPayload::plDamaged;
  const auto stateByte = static_cast<uint8_t>(payload[0]);
  const bool titled = (stateByte & kTitled) != 0;
  const auto state = static_cast<uint8_t>(stateByte & ~kTitled);
  note.state = static_cast<TNoteState>(state);
  size_t at = 1;
  const size_t idLength = static_cast<unsigned char>(payload[at++]);
  if (payload.size() - at < idLength + 2) return TPayload::plDamaged;
  note.paperId = payload.substr(at, idLength);
  at += idLength;
  const size_t reasonLength = GetLe(payload, at, 2);
  at += 2;
  if (payload.size() - at < reasonLength) return TPayload::plDamaged;
  note.reason = payload.substr(at, reasonLength);
  at += reasonLength;
  if (titled) {
    if (payload.size() - at < 2) return TPayload::plDamaged;
    const size_t titleLength = GetLe(payload, at, 2);
    at += 2;
    if (payload.size() - at < titleLength) return TPayload::plDamaged;
    note.title = payload.substr(at, titleLength);
    at += titleLength;
  }
  note.text = payload.substr(at);
  // A whole record of a state we do not know is a newer version's, not damage.
  return state > static_cast<uint8_t>(TNoteState::nsRefused) ? TPayload::plUnknownState : TPayload::plNote;
}
}  // namespace

uint32_t Crc32(const std::string& bytes, uint32_t crc) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (unsigned char b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::string EncodeNoteRecord(const TNoteRecord& note) {
  std::string payload;
  const std::string title = note.title.substr(0, 0xFFFF);
  payload += static_cast<char>(static_cast<uint8_t>(note.state) | (title.empty() ? 0 : kTitled));
  const std::string id = note.paperId.substr(0, 255);
  payload += static_cast<char>(id.size());
  payload += id;
  const std::string reason = note.reason.substr(0, 0xFFFF);
  PutLe(payload, static_cast<uint32_t>(reason.size()), 2);
  payload += reason;
  if (!title.empty()) {
    PutLe(payload, static_cast<uint32_t>(title.size()), 2);
    payload += title;
  }
  payload += note.text;

  std::string length;
  PutLe(length, static_cast<uint32_t>(payload.size()), 4);
  std::string out(kMark, 4);
  out += length;
  PutLe(out, Crc32(payload, Crc32(length)), 4);
  out += payload;
  return out;
}

TNoteScan DecodeNoteRecords(const std::string& bytes) {
  TNoteScan scan;
  size_t at = 0;
  bool inDamage = false;
  auto damage = [&] {
    if (!inDamage) ++scan.damaged;
    inDamage = true;
    // Look for the next record's mark past this position.
    size_t next = bytes.find(std::string(kMark, 4), at + 1);
    at = next == std::string::npos ? bytes.size() : next;
  };
  while (at < bytes.size()) {
    if (!MarkAt(bytes, at) || bytes.size() - at < kNoteRecordHeader) {
      damage();
      continue;
    }
    const uint32_t length = GetLe(bytes, at + 4, 4);
    if (length > kMaxNoteRecordPayload || bytes.size() - at - kNoteRecordHeader < length) {
      damage();
      continue;
    }
    const std::string payload = bytes.substr(at + kNoteRecordHeader, length);
    TNoteRecord note;
    const TPayload kind = Crc32(payload, Crc32(bytes.substr(at + 4, 4))) == GetLe(bytes, at + 8, 4)
                              ? DecodePayload(payload, note)
                              : TPayload::plDamaged;
    if (kind == TPayload::plDamaged) {
      damage();
      continue;
    }
    if (kind == TPayload::plNote)
      scan.notes.push_back(std::move(note));
    else
      ++scan.unknown;
    inDamage = false;
    at += kNoteRecordHeader + length;
  }
  return scan;
}

int TNoteFile::Load() {
  notes_.clear();
  refusal_.clear();
  bool missing = false;
  std::string error;
  auto bytes = platform::ReadWholeFile(path_, &missing, &error);
  unreadable_ = !bytes && !missing;
  if (unreadable_) {
    // A read error is not an empty file: writing now would lose what it holds.
    refusal_ = error.empty() ? std::string("read error") : error;
    return 0;
  }
  if (!bytes) return 0;
  TNoteScan scan = DecodeNoteRecords(*bytes);
  notes_ = std::move(scan.notes);
  if (scan.unknown > 0) {
    refusal_ = "written by a newer version of text snap";
    return scan.damaged;
  }
  // The damaged bytes go aside first: what a rewrite drops can still be looked at.
  if (scan.damaged > 0 && platform::AppendDurably(DamagedPath(), *bytes)) Save();
  return scan.damaged;
}

bool TNoteFile::Append(const TNoteRecord& note) {
  if (!Writable() || !platform::AppendDurably(path_, EncodeNoteRecord(note))) return false;
  notes_.push_back(note);
  return true;
}

bool TNoteFile::Save() {
  if (!Writable()) return false;
  std::string bytes;
  for (const TNoteRecord& note : notes_) bytes += EncodeNoteRecord(note);
  return platform::ReplaceDurably(path_, bytes);
}

std::string TNoteFile::DamagedPath() const {
  const size_t slash = path_.find_last_of("/\\");
  const size_t dot = path_.find_last_of('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExtension ? path_.substr(0, dot) : path_) + ".damaged";
}

void TNoteFile::Erase() {
  notes_.clear();
  refusal_.clear();
  unreadable_ = false;
  platform::RemoveFile(path_);
}

size_t TNoteFile::TextBytes() const {
  size_t n = 0;
  for (const TNoteRecord& note : notes_) n += note.text.size();
  return n;
}

}  // namespace ts
