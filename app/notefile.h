// Files of notes beside the settings: the outbox (notes the service has not
// stored yet) and the history of recent snaps. Each note is one record:
//
//   "TSN" 0x01 | payload length (4 bytes, little endian) | CRC-32 of the
//   length bytes and the payload (4 bytes, little endian) | payload
//
// and the payload is: state (1 byte) | paper id length (1 byte) | paper id |
// reason length (2 bytes, LE) | reason | the note's UTF-8 text (the rest).
//
// New notes are appended and flushed to the disk before anyone is told they
// are kept; any other change rewrites the whole file through a temporary file
// and a rename. A record cut short or damaged is skipped (and counted) and the
// reader looks for the next record's mark, so one bad record never costs the
// others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ts {

enum class TNoteState : uint8_t { nsWaiting = 0, nsSent = 1, nsRefused = 2 };

struct TNoteRecord {
  TNoteState state = TNoteState::nsWaiting;
  std::string paperId;  // the note's capture time, "yyyymmddhhnnsszzz"
  std::string reason;   // why the service refused it (refused notes)
  std::string text;     // UTF-8
  bool operator==(const TNoteRecord&) const = default;
};

inline constexpr size_t kNoteRecordHeader = 12;
// A length beyond this is damage, not a note.
inline constexpr uint32_t kMaxNoteRecordPayload = 64u << 20;

uint32_t Crc32(const std::string& bytes, uint32_t crc = 0);
std::string EncodeNoteRecord(const TNoteRecord& note);

struct TNoteScan {
  std::vector<TNoteRecord> notes;
  int damaged = 0;  // damaged stretches skipped (a cut tail counts as one)
};
TNoteScan DecodeNoteRecords(const std::string& bytes);

// One file of records, held in memory as well.
class TNoteFile {
public:
  explicit TNoteFile(std::string path) : path_(std::move(path)) {}
  const std::string& Path() const { return path_; }

  // Reads the file (a missing one is empty). A file with damage is rewritten
  // without it, so later appends do not follow a torn record. Returns the
  // count of damaged records skipped.
  int Load();
  // Appends one note durably; false (and nothing kept in memory) when the disk refused.
  bool Append(const TNoteRecord& note);
  // Writes the notes in memory as the new file, atomically.
  bool Save();
  // Removes the file and forgets the notes.
  void Erase();

  std::vector<TNoteRecord>& Notes() { return notes_; }
  const std::vector<TNoteRecord>& Notes() const { return notes_; }
  // Bytes of the notes' texts.
  size_t TextBytes() const;

private:
  std::string path_;
  std::vector<TNoteRecord> notes_;
};

}  // namespace ts
