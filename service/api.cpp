// The JSON API under BASE/api/v1: notes added, listed, searched, read,
// deleted and exported by scripts and devices holding an access token.
#include <httplib.h>

#include <charconv>

#include "service/archive.h"
#include "service/json.h"
#include "service/search.h"
#include "service/server.h"

namespace pinleaf {

namespace {

void Json(httplib::Response& res, int status, const std::string& json) {
  res.status = status;
  res.set_content(json + "\n", "application/json");
}

void Error(httplib::Response& res, int status, std::string_view message) {
  Json(res, status, "{\"error\":" + JsonString(message) + "}");
}

// A whole decimal number of 1-18 digits, or -1.
int64_t Whole(std::string_view text) {
  int64_t value = -1;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.size() > 18 || value < 0) return -1;
  return value;
}

bool Allows(TScope have, bool write, bool remove) {
  if (remove) return have == TScope::kFull;
  if (write) return have == TScope::kCapture || have == TScope::kFull;
  return have == TScope::kRead || have == TScope::kFull;
}

}  // namespace

int64_t TPinleafServer::TokenWaitMs(const httplib::Request& req) {
  return throttle_.AddressWaitMs(ClientAddress(req), store_.now_ms());
}

void TPinleafServer::Api(const httplib::Request& req, httplib::Response& res, const std::string& body,
                         std::string_view rel) {
  if (req.method == "OPTIONS") {
    // No cross-origin access: a preflight is answered without any permission.
    res.set_header("Allow", "GET, POST, DELETE");
    Error(res, 405, "cross-origin requests are not taken");
    return;
  }
  // Who is asking: a bearer token, never the browser's session cookie (a
  // page of another site could make the browser send that).
  std::string authorization = req.get_header_value("Authorization");
  std::string token;
  if (authorization.size() > 7 &&
      (authorization.compare(0, 7, "Bearer ") == 0 || authorization.compare(0, 7, "bearer ") == 0))
    token = authorization.substr(7);
  while (!token.empty() && token.back() == ' ') token.pop_back();
  if (int64_t wait = TokenWaitMs(req); wait > 0) {
    res.set_header("Retry-After", std::to_string((wait + 999) / 1000));
    Error(res, 429, "too many failed attempts from this address; wait and try again");
    return;
  }
  if (token.empty()) {
    res.set_header("WWW-Authenticate", "Bearer realm=\"pinleaf\"");
    Error(res, 401, "an access token is needed: Authorization: Bearer TOKEN");
    return;
  }
  std::optional<std::pair<TUser, TAccessToken>> holder = store_.UserForToken(token);
  if (!holder) {
    throttle_.AddressFailed(ClientAddress(req), store_.now_ms());
    res.set_header("WWW-Authenticate", "Bearer realm=\"pinleaf\", error=\"invalid_token\"");
    Error(res, 401, "the access token is not valid (revoked, or never made)");
    return;
  }
  const TUser& user = holder->first;
  const TAccessToken& held = holder->second;
  auto refuse_scope = [&](std::string_view what) {
    Error(res, 403, "a " + std::string(ScopeName(held.scope)) + " token may not " + std::string(what));
  };
  auto wrong_method = [&](const char* allow) {
    res.set_header("Allow", allow);
    Error(res, 405, "method not allowed here");
  };

  if (rel == "/notes") {
    if (req.method == "POST") {
      if (!Allows(held.scope, true, false)) return refuse_scope("add notes");
      std::string type = req.get_header_value("Content-Type");
      if (type.rfind("application/json", 0) != 0) {
        Error(res, 415, "send the note as application/json");
        return;
      }
      TJson doc;
      std::string why;
      if (!ParseJson(body, doc, why)) {
        Error(res, 400, "the body is not JSON: " + why);
        return;
      }
      const TJson* text = doc.Find("text");
      if (doc.kind != TJson::Kind::kObject || !text || !text->IsString() || text->text.empty()) {
        Error(res, 400, "a note needs \"text\": a non-empty string");
        return;
      }
      TNote note;
      note.body = text->text;
      if (note.body.size() > kMaxNoteBodyBytes) {
        Error(res, 413, "the text is over 1 MiB");
        return;
      }
      if (const TJson* title = doc.Find("title"); title && !title->IsNull()) {
        if (!title->IsString()) {
          Error(res, 400, "\"title\" must be a string");
          return;
        }
        if (title->text.size() > kMaxNoteTitleBytes) {
          Error(res, 413, "the title is over 4096 bytes");
          return;
        }
        note.title = title->text;
      }
      if (const TJson* paper = doc.Find("paper_id"); paper && !paper->IsNull()) {
        if (!paper->IsString() || paper->text.size() != kPaperIdDigits ||
            paper->text.find_first_not_of("0123456789") != std::string::npos) {
          Error(res, 400, "\"paper_id\" must be a string of 17 digits");
          return;
        }
        note.paper_id = paper->text;
      }
      TInsertResult stored = store_.AddNoteOnce(user.id, note);
      std::optional<TStoredNote> saved = store_.GetNote(user.id, stored.id);
      if (!saved) {
        Error(res, 404, "the note was deleted while it was stored");
        return;
      }
      res.set_header("Location", base_ + "/api/v1/notes/" + std::to_string(stored.id));
      Json(res, stored.stored ? 201 : 200, NoteJson(*saved));
      return;
    }
    if (req.method != "GET") return wrong_method("GET, POST");
    if (!Allows(held.scope, false, false)) return refuse_scope("read notes");
    int64_t limit = 50, before_ms = 0, before_id = 0;
    if (req.has_param("limit")) {
      limit = Whole(req.get_param_value("limit"));
      if (limit < 1 || limit > kApiPageSize) {
        Error(res, 400, "\"limit\" is a number from 1 to " + std::to_string(kApiPageSize));
        return;
      }
    }
    if (req.has_param("before")) {
      std::string cursor = req.get_param_value("before");
      size_t dot = cursor.find('.');
      before_ms = dot == std::string::npos ? -1 : Whole(std::string_view(cursor).substr(0, dot));
      before_id = dot == std::string::npos ? -1 : Whole(std::string_view(cursor).substr(dot + 1));
      if (before_ms < 0 || before_id <= 0) {
        Error(res, 400, "\"before\" is the \"next\" of the page before");
        return;
      }
    }
    std::string q = req.has_param("q") ? req.get_param_value("q") : "";
    std::string tag = req.has_param("tag") ? req.get_param_value("tag") : "";
    if (q.size() > kMaxSearchBytes || tag.size() > kMaxTagBytes + 4) {
      Error(res, 400, "\"q\" or \"tag\" is too long");
      return;
    }
    TNoteQueryResult found = store_.FindNotes(user.id, q, tag, before_ms, before_id, limit + 1, kApiBodyBytes);
    // A page also ends once its text reaches a mebibyte.
    size_t shown = 0, bytes = 0;
    while (shown < found.notes.size() && shown < static_cast<size_t>(limit) && (shown == 0 || bytes < (1u << 20))) {
      bytes += found.notes[shown].body.size() + found.notes[shown].title.size();
      ++shown;
    }
    std::string next = "null";
    if (shown < found.notes.size())
      next = "\"" + std::to_string(found.notes[shown - 1].received_ms) + "." +
             std::to_string(found.notes[shown - 1].id) + "\"";
    else if (found.scan_cut)
      next = "\"" + std::to_string(found.scanned_to_ms) + "." + std::to_string(found.scanned_to_id) + "\"";
    std::string json = "{\"notes\":[";
    for (size_t i = 0; i < shown; ++i) json += (i ? "," : "") + NoteJson(found.notes[i], true);
    json += "],\"next\":" + next;
    if (found.scan_cut && shown == found.notes.size())
      json += ",\"searched_to\":" + JsonString(IsoTime(found.scanned_to_ms));
    Json(res, 200, json + "}");
    return;
  }
  if (rel.rfind("/notes/", 0) == 0) {
    int64_t id = Whole(rel.substr(7));
    if (req.method == "GET") {
      if (!Allows(held.scope, false, false)) return refuse_scope("read notes");
      std::optional<TStoredNote> note = id > 0 ? store_.GetNote(user.id, id) : std::nullopt;
      if (!note) {
        Error(res, 404, "no such note");
        return;
      }
      Json(res, 200, NoteJson(*note));
      return;
    }
    if (req.method == "DELETE") {
      if (!Allows(held.scope, false, true)) return refuse_scope("delete notes");
      if (id <= 0 || !store_.DeleteNote(user.id, id)) {
        Error(res, 404, "no such note");
        return;
      }
      res.status = 204;
      return;
    }
    return wrong_method("GET, DELETE");
  }
  if (rel == "/export") {
    if (req.method != "GET") return wrong_method("GET");
    if (!Allows(held.scope, false, false)) return refuse_scope("export notes");
    std::string format = req.has_param("format") ? req.get_param_value("format") : "json";
    if (format != "json" && format != "zip") {
      Error(res, 400, "\"format\" is json or zip");
      return;
    }
    if (!StreamExport(res, user.id, format == "zip")) {
      res.set_header("Retry-After", "30");
      Error(res, 503, "too many downloads at once; try again in a minute");
    }
    return;
  }
  if (rel == "/tokens/self") {
    if (req.method != "DELETE") return wrong_method("DELETE");
    store_.Data().DeleteToken(user.id, held.id);
    res.status = 204;
    return;
  }
  Error(res, 404, "no such API path");
}

}  // namespace pinleaf
