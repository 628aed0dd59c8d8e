#include "service/archive.h"

#include <zlib.h>

#include <cstring>
#include <ctime>
#include <set>
#include <stdexcept>

#include "service/search.h"

namespace pinleaf {

namespace {

// Notes fetched at a time, and the text they may add up to.
constexpr int64_t kBatchNotes = 200;
constexpr size_t kBatchBytes = 1024 * 1024;
// Notes stored per transaction on import.
constexpr size_t kImportBatch = 500;
// Problems listed in an import's answer at most.
constexpr size_t kProblemsShown = 10;

void Put16(std::string& out, uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
void Put64(std::string& out, uint64_t v) {
  Put32(out, static_cast<uint32_t>(v & 0xFFFFFFFFu));
  Put32(out, static_cast<uint32_t>(v >> 32));
}

std::tm UtcOf(int64_t ms) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  return tm;
}

// A cut at most `bytes` long that does not split a character.
std::string_view CutAtCharacter(std::string_view text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t cut = bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

}  // namespace

std::string IsoTime(int64_t ms) {
  std::tm tm = UtcOf(ms);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(((ms % 1000) + 1000) % 1000));
  return text;
}

int64_t ParseIsoTime(std::string_view text) {
  int y, mo, d, h, mi, s;
  char t, z;
  int consumed = 0;
  std::string copy(text);
  if (std::sscanf(copy.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &y, &mo, &d, &t, &h, &mi, &s, &consumed) != 7 ||
      (t != 'T' && t != ' '))
    return -1;
  int ms = 0;
  std::string_view rest = text.substr(static_cast<size_t>(consumed));
  if (!rest.empty() && rest.front() == '.') {
    rest.remove_prefix(1);
    int digits = 0;
    while (!rest.empty() && rest.front() >= '0' && rest.front() <= '9') {
      if (digits < 3) ms = ms * 10 + (rest.front() - '0');
      ++digits;
      rest.remove_prefix(1);
    }
    if (digits == 0) return -1;
    for (int k = digits; k < 3; ++k) ms *= 10;
  }
  z = rest.empty() ? '\0' : rest.front();
  if (z != 'Z' || rest.size() != 1) return -1;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 || y < 1970) return -1;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return static_cast<int64_t>(timegm(&tm)) * 1000 + ms;
}

std::string NoteJson(const TStoredNote& n, bool cut_marks) {
  std::string out = "{\"id\":" + std::to_string(n.id) + ",\"paper_id\":" + JsonString(n.paper_id) +
                    ",\"title\":" + JsonString(n.title) + ",\"body\":" + JsonString(n.body);
  if (cut_marks) {
    out += ",\"body_bytes\":" + std::to_string(n.body_bytes);
    out += std::string(",\"truncated\":") + (static_cast<int64_t>(n.body.size()) < n.body_bytes ? "true" : "false");
  }
  out += ",\"received\":" + JsonString(IsoTime(n.received_ms)) + ",\"received_ms\":" + std::to_string(n.received_ms);
  if (n.color) out += ",\"color\":" + std::to_string(*n.color);
  out += ",\"tags\":[";
  bool first = true;
  for (const std::string& tag : ExtractTags(n.title, n.body)) {
    out += (first ? "" : ",") + JsonString(tag);
    first = false;
  }
  return out + "]}";
}

std::string MarkdownFileName(const TStoredNote& n) {
  std::tm tm = UtcOf(n.received_ms);
  char date[96];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d %02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::string_view title = n.title;
  if (title.empty()) title = std::string_view(n.body).substr(0, std::string_view(n.body).find('\n'));
  std::string clean;
  for (char c : CutAtCharacter(title, 60)) {
    auto b = static_cast<unsigned char>(c);
    bool bad = b < 0x20 || b == 0x7F || std::strchr("/\\:*?\"<>|", c) != nullptr;
    char put = bad ? '_' : c;
    if (put == ' ' && (clean.empty() || clean.back() == ' ')) continue;
    clean += put;
  }
  while (!clean.empty() && (clean.back() == ' ' || clean.back() == '.')) clean.pop_back();
  if (!IsValidUtf8(clean)) clean.clear();
  return std::string(date) + (clean.empty() ? "" : " " + clean);
}

std::string MarkdownFile(const TStoredNote& n) {
  std::string out = "---\ntitle: " + JsonString(n.title) + "\nreceived: " + IsoTime(n.received_ms) +
                    "\npaper_id: " + JsonString(n.paper_id) + "\ntags: [";
  bool first = true;
  for (const std::string& tag : ExtractTags(n.title, n.body)) {
    out += (first ? "" : ", ") + JsonString(tag);
    first = false;
  }
  out += "]\n---\n\n";
  out += n.body;
  if (n.body.empty() || n.body.back() != '\n') out += '\n';
  return out;
}

// The zip being written: where the next entry starts, and its central
// directory, spooled to an unnamed file rather than kept in memory.
struct TNoteExport::TZip {
  std::FILE* directory = nullptr;
  uint64_t offset = 0;
  uint64_t entries = 0;
  uint64_t directory_bytes = 0;
  // Names given within the current second, to tell equal names apart.
  int64_t second = -1;
  std::set<std::string> names;

  ~TZip() {
    if (directory) std::fclose(directory);
  }

  void Entry(const TStoredNote& n, std::string& out) {
    std::string name = MarkdownFileName(n);
    int64_t this_second = n.received_ms / 1000;
    if (this_second != second) {
      second = this_second;
      names.clear();
    }
    std::string unique = name + ".md";
    for (int k = 2; names.count(unique); ++k) unique = name + " (" + std::to_string(k) + ").md";
    names.insert(unique);
    std::string data = MarkdownFile(n);

    // Raw deflate of the whole file: every note is in memory whole anyway.
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      throw std::runtime_error("zip: deflate failed to start");
    std::string packed(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(packed.data());
    z.avail_out = static_cast<uInt>(packed.size());
    int rc = deflate(&z, Z_FINISH);
    packed.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("zip: deflate failed");
    uint32_t crc = static_cast<uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));

    std::tm tm = UtcOf(n.received_ms);
    uint32_t dos_time = static_cast<uint32_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
    uint32_t dos_date =
        static_cast<uint32_t>(((std::max(tm.tm_year, 80) - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    uint32_t utf8_names = 0x0800;

    out.reserve(out.size() + 30 + unique.size() + packed.size());
    Put32(out, 0x04034b50);
    Put16(out, 20);
    Put16(out, utf8_names);
    Put16(out, 8);
    Put16(out, dos_time);
    Put16(out, dos_date);
    Put32(out, crc);
    Put32(out, static_cast<uint32_t>(packed.size()));
    Put32(out, static_cast<uint32_t>(data.size()));
    Put16(out, static_cast<uint32_t>(unique.size()));
    Put16(out, 0);
    out += unique;
    out += packed;

    // Its record in the central directory; past 4 GiB the offset moves to a zip64 field.
    bool far = offset >= 0xFFFFFFFFu;
    std::string record;
    Put32(record, 0x02014b50);
    Put16(record, (3 << 8) | 45);  // made on Unix, zip 4.5
    Put16(record, far ? 45 : 20);
    Put16(record, utf8_names);
    Put16(record, 8);
    Put16(record, dos_time);
    Put16(record, dos_date);
    Put32(record, crc);
    Put32(record, static_cast<uint32_t>(packed.size()));
    Put32(record, static_cast<uint32_t>(data.size()));
    Put16(record, static_cast<uint32_t>(unique.size()));
    Put16(record, far ? 12 : 0);
    Put16(record, 0);
    Put16(record, 0);
    Put16(record, 0);
    Put32(record, 0100644u << 16);
    Put32(record, far ? 0xFFFFFFFFu : static_cast<uint32_t>(offset));
    record += unique;
    if (far) {
      Put16(record, 0x0001);
      Put16(record, 8);
      Put64(record, offset);
    }
    if (std::fwrite(record.data(), 1, record.size(), directory) != record.size())
      throw std::runtime_error("zip: cannot spool the directory");
    directory_bytes += record.size();
    offset += 30 + unique.size() + packed.size();
    ++entries;
  }

  // A piece of the directory; false once it has all been given.
  bool DirectoryPiece(std::string& out) {
    out.resize(64 * 1024);
    size_t n = std::fread(out.data(), 1, out.size(), directory);
    out.resize(n);
    if (n > 0) return true;
    if (std::ferror(directory)) throw std::runtime_error("zip: cannot read the spooled directory");
    return false;
  }

  void End(std::string& out) {
    uint64_t directory_at = offset;
    bool zip64 = entries >= 0xFFFF || directory_at >= 0xFFFFFFFFu || directory_bytes >= 0xFFFFFFFFu;
    if (zip64) {
      uint64_t record_at = directory_at + directory_bytes;
      Put32(out, 0x06064b50);
      Put64(out, 44);
      Put16(out, (3 << 8) | 45);
      Put16(out, 45);
      Put32(out, 0);
      Put32(out, 0);
      Put64(out, entries);
      Put64(out, entries);
      Put64(out, directory_bytes);
      Put64(out, directory_at);
      Put32(out, 0x07064b50);
      Put32(out, 0);
      Put64(out, record_at);
      Put32(out, 1);
    }
    Put32(out, 0x06054b50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, zip64 ? 0xFFFF : static_cast<uint32_t>(entries));
    Put16(out, zip64 ? 0xFFFF : static_cast<uint32_t>(entries));
    Put32(out, zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(directory_bytes));
    Put32(out, zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(directory_at));
    Put16(out, 0);
  }
};

TNoteExport::TNoteExport(TNoteStore& store, int64_t user_id, TExportFormat format)
    : store_(store), user_id_(user_id), format_(format) {
  if (format_ == TExportFormat::kMarkdownZip) {
    zip_ = std::make_unique<TZip>();
    zip_->directory = std::tmpfile();
    if (!zip_->directory) throw std::runtime_error("zip: cannot make a spool file for the directory");
  }
}

TNoteExport::~TNoteExport() = default;

const char* TNoteExport::ContentType(TExportFormat format) {
  return format == TExportFormat::kJson ? "application/json; charset=utf-8" : "application/zip";
}

std::string TNoteExport::FileName(TExportFormat format, int64_t now_ms) {
  std::tm tm = UtcOf(now_ms);
  char name[128];
  std::snprintf(name, sizeof name, "pinleaf-notes-%04d-%02d-%02d.%s", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                format == TExportFormat::kJson ? "json" : "zip");
  return name;
}

std::vector<TStoredNote> TNoteExport::NextNotes() {
  std::vector<TStoredNote> notes = store_.Data().NotesAfter(user_id_, after_ms_, after_id_, kBatchNotes, kBatchBytes);
  if (!notes.empty()) {
    after_ms_ = notes.back().received_ms;
    after_id_ = notes.back().id;
  }
  return notes;
}

bool TNoteExport::Next(std::string& out) {
  out.clear();
  if (finished_) return false;
  return format_ == TExportFormat::kJson ? NextJson(out) : NextZip(out);
}

bool TNoteExport::NextJson(std::string& out) {
  if (!started_) {
    started_ = true;
    out = "[";
  }
  std::vector<TStoredNote> notes = NextNotes();
  for (const TStoredNote& n : notes) {
    out += (notes_done_ ? ",\n" : "\n") + NoteJson(n);
    notes_done_ = true;  // from now on elements are preceded by a comma
  }
  if (notes.empty()) {
    out += notes_done_ ? "\n]\n" : "]\n";
    finished_ = true;
  }
  return true;
}

bool TNoteExport::NextZip(std::string& out) {
  if (!notes_done_) {
    std::vector<TStoredNote> notes = NextNotes();
    for (const TStoredNote& n : notes) zip_->Entry(n, out);
    if (!notes.empty()) return true;
    notes_done_ = true;
    std::rewind(zip_->directory);
  }
  if (zip_->DirectoryPiece(out)) return true;
  zip_->End(out);
  finished_ = true;
  return true;
}

namespace {

// A note out of one element of an import; an error text when it is none.
std::string NoteOfElement(const TJson& e, TNote& note, int64_t& received_ms) {
  if (e.kind != TJson::Kind::kObject) return "not an object";
  const TJson* body = e.Find("body");
  if (!body) body = e.Find("text");
  if (!body || !body->IsString()) return "no body";
  if (body->text.empty()) return "an empty body";
  if (body->text.size() > kMaxNoteBodyBytes) return "a body over 1 MiB";
  note.body = body->text;
  note.title.clear();
  if (const TJson* title = e.Find("title"); title && !title->IsNull()) {
    if (!title->IsString()) return "a title that is not text";
    if (title->text.size() > kMaxNoteTitleBytes) return "a title over 4096 bytes";
    note.title = title->text;
  }
  note.paper_id.clear();
  if (const TJson* paper = e.Find("paper_id"); paper && !paper->IsNull()) {
    if (!paper->IsString()) return "a paper_id that is not text";
    const std::string& p = paper->text;
    if (!p.empty() && (p.size() != kPaperIdDigits || p.find_first_not_of("0123456789") != std::string::npos))
      return "a paper_id that is not 17 digits";
    note.paper_id = p;
  }
  note.color.reset();
  if (const TJson* color = e.Find("color"); color && !color->IsNull()) {
    std::optional<int64_t> c = color->Integer();
    if (!c || *c < 0 || *c > 0xFFFFFFFFll) return "a color that is not a colour value";
    note.color = static_cast<uint32_t>(*c);
  }
  received_ms = 0;
  if (const TJson* ms = e.Find("received_ms"); ms && !ms->IsNull()) {
    std::optional<int64_t> v = ms->Integer();
    if (!v || *v <= 0) return "a received_ms that is not a time";
    received_ms = *v;
  } else if (const TJson* iso = e.Find("received"); iso && !iso->IsNull()) {
    received_ms = iso->IsString() ? ParseIsoTime(iso->text) : -1;
    if (received_ms <= 0) return "a received time that is not YYYY-MM-DDTHH:MM:SS.sssZ";
  }
  return {};
}

}  // namespace

TImportResult ImportJson(TNoteStore& store, int64_t user_id, const TJsonArrayReader::TRead& read) {
  TImportResult result;
  TJsonLimits limits;
  // One element holds one note: its body (1 MiB of text, up to six bytes of
  // JSON for each) and a little more.
  limits.max_value_bytes = 7 * kMaxNoteBodyBytes;
  TJsonArrayReader reader(read, limits);
  std::vector<std::pair<TNote, int64_t>> batch;
  auto flush = [&] {
    if (batch.empty()) return;
    for (const TInsertResult& r : store.ImportNotes(user_id, batch)) (r.stored ? result.stored : result.present)++;
    batch.clear();
  };
  TJson element;
  int64_t index = 0;
  while (reader.Next(element)) {
    TNote note;
    int64_t received_ms = 0;
    std::string why = NoteOfElement(element, note, received_ms);
    if (!why.empty()) {
      ++result.refused;
      if (result.problems.size() < kProblemsShown)
        result.problems.push_back("note " + std::to_string(index + 1) + ": " + why);
    } else {
      batch.emplace_back(std::move(note), received_ms);
      if (batch.size() >= kImportBatch) flush();
    }
    ++index;
  }
  flush();
  result.error = reader.Error();
  return result;
}

}  // namespace pinleaf
