// An account's notes taken out (JSON, or a zip of Markdown files) and brought
// in again (JSON). Both work a few notes at a time, so an account of any size
// takes no more memory than a handful of its notes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "service/json.h"
#include "service/store.h"

namespace pinleaf {

// "2026-12-08T14:34:05.123Z".
std::string IsoTime(int64_t ms);
// The reverse, for "YYYY-MM-DDTHH:MM:SS[.fff]Z"; -1 when it is not one.
int64_t ParseIsoTime(std::string_view text);

// One note as a JSON object: id, paper_id, title, body, received (ISO 8601,
// UTC), received_ms, color (when sent) and tags. With `body_bytes` set, the
// body is the note's first bytes and "truncated" says whether it was cut.
std::string NoteJson(const TStoredNote& note, bool cut_marks = false);

enum class TExportFormat { kJson, kMarkdownZip };

// The notes of one account, oldest first, written piece by piece.
class TNoteExport {
public:
  TNoteExport(TNoteStore& store, int64_t user_id, TExportFormat format);
  ~TNoteExport();
  TNoteExport(const TNoteExport&) = delete;
  TNoteExport& operator=(const TNoteExport&) = delete;

  // The next piece of the file into `out` (replacing what it held); false
  // once the whole file has been given. Raises EStoreError when the
  // database fails, and std::runtime_error when the spool file fails.
  bool Next(std::string& out);

  static const char* ContentType(TExportFormat format);
  static std::string FileName(TExportFormat format, int64_t now_ms);

private:
  struct TZip;
  bool NextJson(std::string& out);
  bool NextZip(std::string& out);
  std::vector<TStoredNote> NextNotes();

  TNoteStore& store_;
  int64_t user_id_;
  TExportFormat format_;
  int64_t after_ms_ = -1, after_id_ = 0;
  bool started_ = false, notes_done_ = false, finished_ = false;
  std::unique_ptr<TZip> zip_;
};

// The name a note's Markdown file gets: date, time and title (or the start of
// the body), without characters that file systems refuse.
std::string MarkdownFileName(const TStoredNote& note);
// The Markdown file itself: a front matter block with title, time, paper ID
// and tags, then the body.
std::string MarkdownFile(const TStoredNote& note);

struct TImportResult {
  int64_t stored = 0;   // new notes
  int64_t present = 0;  // notes the account held already
  int64_t refused = 0;  // elements that are no note (each said in problems, the first few)
  std::vector<std::string> problems;
  std::string error;  // the document could not be read on (it was stored up to there)
};

// Reads a JSON array of notes (as exported) and stores them in batches; a
// note the account holds already (same paper ID and text, or for a note
// without a paper ID the same time and text) is not stored twice.
TImportResult ImportJson(TNoteStore& store, int64_t user_id, const TJsonArrayReader::TRead& read);

}  // namespace pinleaf
