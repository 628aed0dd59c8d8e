// Files of notes beside the settings: the outbox (notes the service has not
// stored yet) and the history of recent snaps. Each note is one record:
//
//   "TSN" 0x01 | payload length (4 bytes, little endian) | CRC-32 of the
//   length bytes and the payload (4 bytes, little endian) | payload
//
// and the payload is: state (1 byte) | paper id length (1 byte) | paper id |
// reason length (2 bytes, LE) | reason | the note's UTF-8 text (the rest).
// A note with a title sets the top bit of its state byte, and its title's
// length (2 bytes, LE) and the UTF-8 title come between the reason and the
// text; a note without one is written as before, byte for byte. A version
// that knows no titles takes a titled record for a newer version's (a state
// it does not know): it leaves the file as it is and only reads it.
//
// New notes are appended and flushed to the disk before anyone is told they
// are kept; any other change rewrites the whole file through a temporary file
// and a rename. A record cut short or damaged is skipped (and counted) and the
// reader looks for the next record's mark, so one bad record never costs the
// others; the damaged file is copied aside before it is rewritten. A file that
// cannot be read, or that holds records of a state this version does not know
// (a newer version wrote it), is never rewritten.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ts {

enum class TNoteState : uint8_t { nsWaiting = 0, nsSent = 1, nsRefused = 2 };

struct TNoteRecord {
  TNoteState state = TNoteState::nsWaiting;
  std::string paperId;     // the note's capture time, "yyyymmddhhnnsszzz"
  std::string reason;      // why the service refused it (refused notes)
  std::string text;        // UTF-8
  std::string title = {};  // UTF-8, empty for none (where the snap came from)
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
  int unknown = 0;  // whole records of a state this version does not know, skipped
};
TNoteScan DecodeNoteRecords(const std::string& bytes);

// One file of records, held in memory as well.
class TNoteFile {
public:
  explicit TNoteFile(std::string path) : path_(std::move(path)) {}
  const std::string& Path() const { return path_; }

  // Reads the file (a missing one is empty). A file with damage is copied to
  // the damaged file and rewritten without it, so later appends do not follow
  // a torn record. Returns the count of damaged records skipped.
  int Load();
  // Why the file is not written: it could not be read (the system's reason),
  // or it holds records this version does not know. Empty when it is.
  const std::string& Refusal() const { return refusal_; }
  bool Writable() const { return refusal_.empty(); }
  // True when the last Load could not read the file (not when it was missing).
  bool Unreadable() const { return unreadable_; }
  // Appends one note durably; false (and nothing kept in memory) when the
  // disk refused or the file is not to be written.
  bool Append(const TNoteRecord& note);
  // Writes the notes in memory as the new file, atomically; false when it
  // could not, or the file is not to be written.
  bool Save();
  // Removes the file and forgets the notes.
  void Erase();

  std::vector<TNoteRecord>& Notes() { return notes_; }
  const std::vector<TNoteRecord>& Notes() const { return notes_; }
  // Bytes of the notes' texts.
  size_t TextBytes() const;

  // Where a damaged file is copied before it is rewritten: the file's name
  // with ".damaged" for its extension.
  std::string DamagedPath() const;

private:
  std::string path_;
  std::vector<TNoteRecord> notes_;
  std::string refusal_;
  bool unreadable_ = false;
};

}  // namespace ts
