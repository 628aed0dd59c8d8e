#include "service/pages.h"

#include <ctime>

#include "service/search.h"

namespace pinleaf {

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      case '\0':
        out += "\xEF\xBF\xBD";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string CssColor(uint32_t color) {
  static const char kHex[] = "0123456789abcdef";
  std::string css = "#";
  for (int shift : {0, 8, 16}) {  // red, green, blue
    unsigned byte = (color >> shift) & 0xFF;
    css += kHex[byte >> 4];
    css += kHex[byte & 15];
  }
  return css;
}

std::string UrlEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || c == '-' || c == '.' ||
                 c == '_' || c == '~';
    if (plain) {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

namespace {

// Whether `line` is one web address and nothing else: http or https, a host,
// no blanks, controls or characters that would end an attribute, at most
// 2048 bytes.
bool IsWebAddress(std::string_view line) {
  if (line.size() > 2048) return false;
  std::string lower(line.substr(0, 8));
  for (char& c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  size_t host = lower.rfind("https://", 0) == 0 ? 8 : lower.rfind("http://", 0) == 0 ? 7 : 0;
  if (host == 0 || line.size() == host || line[host] == '/') return false;
  for (char c : line) {
    auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b == 0x7F || c == '"' || c == '<' || c == '>' || c == '`' || c == '\\') return false;
  }
  return true;
}

}  // namespace

std::string NoteBodyHtml(std::string_view body, bool whole, const std::vector<std::string>& terms) {
  // The last line of a whole body, when it is a web address (where the text
  // was copied from), is a link; nothing else of a note becomes markup.
  if (whole) {
    size_t end = body.find_last_not_of(" \t\r\n");
    if (end != std::string_view::npos) {
      size_t start = body.find_last_of('\n', end);
      start = start == std::string_view::npos ? 0 : start + 1;
      std::string_view line = body.substr(start, end + 1 - start);
      if (IsWebAddress(line)) {
        return HighlightHtml(body.substr(0, start), terms) + "<a class=\"source\" href=\"" + HtmlEscape(line) +
               "\" rel=\"noopener noreferrer nofollow\">" + HighlightHtml(line, terms) + "</a>" +
               HighlightHtml(body.substr(end + 1), terms);
      }
    }
  }
  return HighlightHtml(body, terms);
}

std::string FormatUtc(int64_t ms) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  if (!gmtime_r(&seconds, &tm)) return "?";
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

std::string TPages::Document(std::string_view title, std::string_view body, bool extra) const {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
  html += HtmlEscape(title);
  html +=
      " - pinleaf</title>\n<style>\n"
      "body{font-family:sans-serif;max-width:46em;margin:2em auto;padding:0 1em;color:#222}\n"
      "form p{margin:.6em 0} label{display:inline-block;min-width:9em}\n"
      ".notice{color:#a00}\n"
      ".note{border:1px solid #bbb;border-radius:4px;padding:.6em 1em;margin:1em 0;background:#fff7ab}\n"
      ".note pre{white-space:pre-wrap;word-wrap:break-word;font-family:inherit;margin:.4em 0}\n"
      ".meta{color:#555;font-size:.85em}\n"
      "form.inline{display:inline;margin:0}\n";
  // The pages text snap reads (sign-in, probe, upload answers) keep their
  // bytes; the notes, tokens and pairing pages add what they use.
  if (extra) {
    html +=
        "mark{background:#ffd54f;padding:0 .1em} form.search{margin:1em 0}\n"
        ".tags a{margin-right:.6em} .tags .current{font-weight:bold}\n"
        ".tools{border-top:1px solid #ddd;margin-top:2em;padding-top:.5em}\n"
        "code.secret{font-size:1.1em;background:#eee;padding:.2em .4em;word-break:break-all}\n"
        "table.tokens td,table.tokens th{padding:.2em .6em;text-align:left}\n";
  }
  html += "</style></head>\n<body>\n";
  html += body;
  html += "\n</body></html>\n";
  return html;
}

namespace {

std::string TokenField(std::string_view token) {
  return "<input type=\"hidden\" name=\"token\" value=\"" + HtmlEscape(token) + "\">\n";
}

}  // namespace

std::string TPages::SignOutForm(std::string_view token) const {
  return "<form class=\"inline\" method=\"post\" action=\"" + HtmlEscape(base_) + "/users/logout\">" +
         TokenField(token) + "<button type=\"submit\">Sign out</button></form>";
}

std::string TPages::LoginForm(std::string_view token, std::string_view next) const {
  std::string after;
  if (!next.empty()) after = "<input type=\"hidden\" name=\"next\" value=\"" + HtmlEscape(next) + "\">\n";
  return "<form method=\"post\" action=\"" + HtmlEscape(base_) + "/users/login\">\n" + TokenField(token) + after +
         "<p><label for=\"id\">ID</label> <input id=\"id\" name=\"data[User][username]\" "
         "autocomplete=\"username\"></p>\n"
         "<p><label for=\"pw\">Password</label> <input id=\"pw\" type=\"password\" name=\"data[User][password]\" "
         "autocomplete=\"current-password\"></p>\n"
         "<p><button type=\"submit\">Sign in</button></p>\n</form>\n"
         "<p>No account yet? <a href=\"" +
         HtmlEscape(base_) + "/users/add\">Create one</a>.</p>";
}

std::string TPages::Login(std::string_view notice, std::string_view token, std::string_view next) const {
  std::string body = "<h1>Sign in to pinleaf</h1>\n";
  if (!notice.empty()) body += "<p class=\"notice\">" + HtmlEscape(notice) + "</p>\n";
  body += LoginForm(token, next);
  return Document("Sign in", body);
}

std::string TPages::ProbeSignedIn() const { return Document("pinleaf", "<p>You are signed in.</p>"); }

std::string TPages::Home(std::string_view token) const {
  return Document("pinleaf", "<h1>pinleaf</h1>\n<p>You are signed in.</p>\n<p><a href=\"" + HtmlEscape(base_) +
                                 "/notes\">Your notes</a></p>\n" + SignOutForm(token));
}

std::string TPages::NoteStored() const {
  return Document("Saved", "<p>The note is saved.</p>\n<p>====</p>\n<p><a href=\"" + HtmlEscape(base_) +
                               "/notes\">Your notes</a></p>");
}

std::string TPages::NoteRefused(std::string_view reason) const {
  return Document("Not saved", "<h1>The note was not saved</h1>\n<p class=\"notice\">" + HtmlEscape(reason) + "</p>");
}

std::string TPages::SignUp(std::string_view notice, std::string_view token) const {
  std::string body = "<h1>Create a pinleaf account</h1>\n";
  if (!notice.empty()) body += "<p class=\"notice\">" + HtmlEscape(notice) + "</p>\n";
  body += "<form method=\"post\" action=\"" + HtmlEscape(base_) + "/users/add\">\n" + TokenField(token) +
          "<p><label for=\"id\">ID</label> <input id=\"id\" name=\"data[User][username]\" maxlength=\"100\" "
          "autocomplete=\"username\" required></p>\n"
          "<p><label for=\"pw\">Password</label> <input id=\"pw\" type=\"password\" name=\"data[User][password]\" "
          "autocomplete=\"new-password\" required></p>\n"
          "<p><label for=\"pw2\">Password again</label> <input id=\"pw2\" type=\"password\" "
          "name=\"data[User][password_confirm]\" autocomplete=\"new-password\" required></p>\n"
          "<p><button type=\"submit\">Create account</button></p>\n</form>\n"
          "<p>Have an account? <a href=\"" +
          HtmlEscape(base_) + "/users/login\">Sign in</a>.</p>";
  return Document("Create account", body);
}

std::string TPages::NoteArticle(const TStoredNote& n, bool whole, std::string_view token,
                                const std::vector<std::string>& terms) const {
  std::string body = "<article class=\"note\" id=\"note-" + std::to_string(n.id) + "\"";
  if (n.color) body += " style=\"background:" + CssColor(*n.color) + "\"";
  body += ">\n";
  if (!n.title.empty()) body += "<h2>" + HighlightHtml(n.title, terms) + "</h2>\n";
  std::string view = HtmlEscape(base_) + "/notes/view?id=" + std::to_string(n.id);
  bool cut = static_cast<int64_t>(n.body.size()) < n.body_bytes;
  body += "<pre>" + NoteBodyHtml(n.body, !cut, terms);
  if (cut && !whole) body += "&hellip;";
  body += "</pre>\n";
  if (cut && !whole)
    body += "<p><a class=\"more\" href=\"" + view + "\">Show the whole note (" + std::to_string(n.body_bytes) +
            " bytes)</a></p>\n";
  body += "<p class=\"meta\">received " + FormatUtc(n.received_ms);
  if (!n.paper_id.empty()) body += " &middot; paper " + HtmlEscape(n.paper_id);
  if (!whole) body += " &middot; <a href=\"" + view + "\">open</a>";
  body += "</p>\n<form class=\"inline delete\" method=\"post\" action=\"" + HtmlEscape(base_) + "/notes/delete\">" +
          TokenField(token) + "<input type=\"hidden\" name=\"id\" value=\"" + std::to_string(n.id) +
          "\"><button type=\"submit\">Delete</button></form>\n</article>\n";
  return body;
}

std::string TPages::Notes(const TNotesView& v) const {
  const std::string base = HtmlEscape(base_);
  std::string body = "<h1>Notes of " + HtmlEscape(v.user.name) + "</h1>\n<p class=\"meta\"><span class=\"count\">";
  body += std::to_string(v.total) + (v.total == 1 ? " note" : " notes");
  body += "</span> &middot; <a href=\"" + base + "/tokens\">Access tokens</a> &middot; <a href=\"" + base +
          "/device\">Pair a device</a></p>\n" + SignOutForm(v.token) + "\n";
  // Search: a plain GET form, so a search is a link that can be kept.
  body += "<form class=\"search\" method=\"get\" action=\"" + base + "/notes\" role=\"search\">";
  if (!v.tag.empty()) body += "<input type=\"hidden\" name=\"tag\" value=\"" + HtmlEscape(v.tag) + "\">";
  body += "<input type=\"search\" name=\"q\" value=\"" + HtmlEscape(v.query) +
          "\" placeholder=\"words, or &quot;a phrase&quot;\" aria-label=\"Search notes\" size=\"40\"> "
          "<button type=\"submit\">Search</button>";
  if (!v.query.empty() || !v.tag.empty()) body += " <a class=\"clear\" href=\"" + base + "/notes\">all notes</a>";
  body += "</form>\n";
  if (!v.tags.empty()) {
    body += "<p class=\"tags\">Tags: ";
    for (const TTagCount& t : v.tags) {
      bool current = NormaliseTag(v.tag) == t.tag;
      body += "<a" + std::string(current ? " class=\"current\"" : "") + " href=\"" + base +
              "/notes?tag=" + HtmlEscape(UrlEncode(t.tag)) + "\">#" + HtmlEscape(t.tag) + "</a><span class=\"meta\">" +
              std::to_string(t.notes) + "</span> ";
    }
    body += "</p>\n";
  }
  bool searching = !v.query.empty() || !v.tag.empty();
  if (searching) {
    body += "<p class=\"meta found\">";
    if (!v.tag.empty()) body += "Tagged #" + HtmlEscape(NormaliseTag(v.tag)) + ". ";
    if (!v.query.empty()) body += "Notes with " + HtmlEscape(v.query) + ". ";
    body += "</p>\n";
  }
  if (v.notes.empty()) body += searching ? "<p>No notes found.</p>\n" : "<p>No notes here yet.</p>\n";
  for (const TStoredNote& n : v.notes) body += NoteArticle(n, false, v.token, v.terms);
  if (v.scanned_to_ms > 0)
    body += "<p class=\"meta partial\">Searched the notes received since " + FormatUtc(v.scanned_to_ms) +
            "; words shorter than three characters are looked for in a part of the notes at a time.</p>\n";
  std::string nav;
  std::string keep;
  if (!v.query.empty()) keep += "q=" + UrlEncode(v.query) + "&";
  if (!v.tag.empty()) keep += "tag=" + UrlEncode(v.tag) + "&";
  if (!v.first)
    nav += "<a href=\"" + base + "/notes" + (keep.empty() ? "" : "?" + HtmlEscape(keep.substr(0, keep.size() - 1))) +
           "\">&larr; newest</a> ";
  if (!v.next.empty())
    nav += "<a class=\"older\" href=\"?" + HtmlEscape(keep + v.next) + "\">" +
           (v.scanned_to_ms > 0 ? "search older notes" : "older") + " &rarr;</a>";
  if (!nav.empty()) body += "<p>" + nav + "</p>\n";
  body += "<section class=\"tools\"><h2>Download all notes</h2>\n<p><a class=\"export-json\" href=\"" + base +
          "/notes/export.json\" download>JSON</a> &middot; <a class=\"export-zip\" href=\"" + base +
          "/notes/export.zip\" download>Markdown files (zip)</a></p>\n"
          "<h2>Import notes</h2>\n<form class=\"import\" method=\"post\" action=\"" +
          base + "/notes/import\" enctype=\"multipart/form-data\">" + TokenField(v.token) +
          "<input type=\"file\" name=\"file\" accept=\".json,application/json\" required> "
          "<button type=\"submit\">Import</button></form>\n"
          "<p class=\"meta\">A JSON file as downloaded here (up to 8 MiB); notes already here are not added twice.</p>"
          "</section>\n";
  return Document("Notes", body, true);
}

std::string TPages::Tokens(const TUser& user, const TTokensView& v) const {
  const std::string base = HtmlEscape(base_);
  std::string body = "<p><a href=\"" + base + "/notes\">&larr; notes</a></p>\n<h1>Access tokens of " +
                     HtmlEscape(user.name) + "</h1>\n";
  if (!v.notice.empty()) body += "<p class=\"notice\">" + HtmlEscape(v.notice) + "</p>\n";
  if (!v.created.empty())
    body += "<p class=\"created\">The token &ldquo;" + HtmlEscape(v.created_name) +
            "&rdquo;:</p>\n<p><code class=\"secret\" id=\"new-token\">" + HtmlEscape(v.created) +
            "</code></p>\n<p class=\"notice\">Copy it now: it is shown only this once.</p>\n";
  body +=
      "<p>A token lets a script or another device use your notes through the API "
      "(<code>Authorization: Bearer TOKEN</code>) without your password. <b>capture</b> may only add notes, "
      "<b>read</b> may read, search and export them, <b>full</b> may also delete them.</p>\n";
  if (v.tokens.empty()) {
    body += "<p>No tokens yet.</p>\n";
  } else {
    body += "<table class=\"tokens\"><tr><th>Name</th><th>Scope</th><th>Created</th><th>Last used</th><th></th></tr>\n";
    for (const TAccessToken& t : v.tokens) {
      body += "<tr id=\"token-" + std::to_string(t.id) + "\"><td class=\"name\">" + HtmlEscape(t.name) +
              "</td><td class=\"scope\">" + std::string(ScopeName(t.scope)) + "</td><td>" + FormatUtc(t.created_ms) +
              "</td><td class=\"used\">" + (t.last_used_ms > 0 ? FormatUtc(t.last_used_ms) : std::string("never")) +
              "</td><td><form class=\"inline revoke\" method=\"post\" action=\"" + base + "/tokens/revoke\">" +
              TokenField(v.token) + "<input type=\"hidden\" name=\"id\" value=\"" + std::to_string(t.id) +
              "\"><button type=\"submit\">Revoke</button></form></td></tr>\n";
    }
    body += "</table>\n";
  }
  body += "<h2>New token</h2>\n<form class=\"create\" method=\"post\" action=\"" + base + "/tokens\">" +
          TokenField(v.token) +
          "<p><label for=\"name\">Name</label> <input id=\"name\" name=\"name\" maxlength=\"100\" required "
          "placeholder=\"laptop script\"></p>\n<p><label for=\"scope\">Scope</label> <select id=\"scope\" "
          "name=\"scope\"><option value=\"capture\">capture: add notes</option><option value=\"read\">read: read, "
          "search, export</option><option value=\"full\">full: also delete</option></select></p>\n"
          "<p><button type=\"submit\">Create token</button> <span class=\"meta\">at most " +
          std::to_string(kMaxTokensPerUser) + " a person</span></p></form>\n";
  return Document("Access tokens", body, true);
}

std::string TPages::ImportDone(std::string_view summary, const std::vector<std::string>& problems) const {
  std::string body = "<h1>Import</h1>\n<p class=\"summary\">" + HtmlEscape(summary) + "</p>\n";
  if (!problems.empty()) {
    body += "<ul class=\"problems\">";
    for (const std::string& p : problems) body += "<li>" + HtmlEscape(p) + "</li>";
    body += "</ul>\n";
  }
  body += "<p><a href=\"" + HtmlEscape(base_) + "/notes\">Your notes</a></p>";
  return Document("Import", body, true);
}

std::string TPages::DeviceCode(std::string_view notice, std::string_view typed) const {
  std::string body = "<h1>Pair a device</h1>\n";
  if (!notice.empty()) body += "<p class=\"notice\">" + HtmlEscape(notice) + "</p>\n";
  body +=
      "<p>Enter the code your device shows (such as text snap's balloon).</p>\n<form class=\"code\" method=\"get\" "
      "action=\"" +
      HtmlEscape(base_) +
      "/device\"><p><label for=\"code\">Code</label> <input id=\"code\" name=\"user_code\" value=\"" +
      HtmlEscape(typed) +
      "\" placeholder=\"WDJB-MJHT\" autocomplete=\"off\" autocapitalize=\"characters\" maxlength=\"20\" "
      "required> <button type=\"submit\">Next</button></p></form>\n<p><a href=\"" +
      HtmlEscape(base_) + "/notes\">Your notes</a></p>";
  return Document("Pair a device", body, true);
}

std::string TPages::DeviceConfirm(const TDeviceGrant& grant, std::string_view shown_code,
                                  std::string_view token) const {
  const char* may = grant.scope == TScope::kCapture ? "add notes to your account (nothing else: it cannot read them)"
                    : grant.scope == TScope::kRead  ? "read, search and download your notes"
                                                    : "read, add and delete your notes";
  std::string form = "<form class=\"inline decide\" method=\"post\" action=\"" + HtmlEscape(base_) + "/device\">" +
                     TokenField(token) + "<input type=\"hidden\" name=\"user_code\" value=\"" +
                     HtmlEscape(grant.user_code) + "\">";
  std::string body = "<h1>Pair a device</h1>\n<p>Code <code class=\"secret\" id=\"user-code\">" +
                     HtmlEscape(shown_code) + "</code> &mdash; check that your device shows the same.</p>\n" +
                     "<p><b class=\"device\">" + HtmlEscape(grant.token_name) + "</b> asks to " + may +
                     ", with a token of its own (scope <b>" + std::string(ScopeName(grant.scope)) +
                     "</b>) that you can revoke on the page Access tokens. It never learns your password.</p>\n<p>" +
                     form +
                     "<input type=\"hidden\" name=\"decision\" value=\"approve\"><button type=\"submit\" "
                     "class=\"approve\">Approve</button></form> " +
                     form +
                     "<input type=\"hidden\" name=\"decision\" value=\"deny\"><button type=\"submit\" "
                     "class=\"deny\">Deny</button></form></p>";
  return Document("Pair a device", body, true);
}

std::string TPages::DeviceDone(bool approved, std::string_view name) const {
  std::string body =
      approved ? "<h1>Paired</h1>\n<p class=\"done\">" + HtmlEscape(name) +
                     " may now add notes. It goes on by itself; you can close this page.</p>"
               : "<h1>Not paired</h1>\n<p class=\"done\">" + HtmlEscape(name) + " was refused. It gets no token.</p>";
  body += "\n<p><a href=\"" + HtmlEscape(base_) + "/tokens\">Access tokens</a></p>";
  return Document(approved ? "Paired" : "Not paired", body, true);
}

std::string TPages::SignUpClosed() const {
  return Document("Create account",
                  "<h1>Sign-up is closed</h1>\n<p>New accounts on this service are made by its operator. Ask them for "
                  "one.</p>\n<p>Have an account? <a href=\"" +
                      HtmlEscape(base_) + "/users/login\">Sign in</a>.</p>");
}

std::string TPages::Note(const TStoredNote& note, std::string_view token) const {
  return Document(
      note.title.empty() ? "Note" : note.title,
      "<p><a href=\"" + HtmlEscape(base_) + "/notes\">&larr; all notes</a></p>\n" + NoteArticle(note, true, token));
}

std::string TPages::Message(std::string_view title, std::string_view text) const {
  return Document(title, "<h1>" + HtmlEscape(title) + "</h1>\n<p>" + HtmlEscape(text) + "</p>");
}

}  // namespace pinleaf
