#include "service/pages.h"

#include <ctime>

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

std::string FormatUtc(int64_t ms) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  if (!gmtime_r(&seconds, &tm)) return "?";
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

std::string TPages::Document(std::string_view title, std::string_view body) const {
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
      "form.inline{display:inline;margin:0}\n"
      "</style></head>\n<body>\n";
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

std::string TPages::LoginForm(std::string_view token) const {
  return "<form method=\"post\" action=\"" + HtmlEscape(base_) + "/users/login\">\n" + TokenField(token) +
         "<p><label for=\"id\">ID</label> <input id=\"id\" name=\"data[User][username]\" "
         "autocomplete=\"username\"></p>\n"
         "<p><label for=\"pw\">Password</label> <input id=\"pw\" type=\"password\" name=\"data[User][password]\" "
         "autocomplete=\"current-password\"></p>\n"
         "<p><button type=\"submit\">Sign in</button></p>\n</form>\n"
         "<p>No account yet? <a href=\"" +
         HtmlEscape(base_) + "/users/add\">Create one</a>.</p>";
}

std::string TPages::Login(std::string_view notice, std::string_view token) const {
  std::string body = "<h1>Sign in to pinleaf</h1>\n";
  if (!notice.empty()) body += "<p class=\"notice\">" + HtmlEscape(notice) + "</p>\n";
  body += LoginForm(token);
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

std::string TPages::NoteArticle(const TStoredNote& n, bool whole, std::string_view token) const {
  std::string body = "<article class=\"note\" id=\"note-" + std::to_string(n.id) + "\"";
  if (n.color) body += " style=\"background:" + CssColor(*n.color) + "\"";
  body += ">\n";
  if (!n.title.empty()) body += "<h2>" + HtmlEscape(n.title) + "</h2>\n";
  std::string view = HtmlEscape(base_) + "/notes/view?id=" + std::to_string(n.id);
  body += "<pre>" + HtmlEscape(n.body);
  bool cut = static_cast<int64_t>(n.body.size()) < n.body_bytes;
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

std::string TPages::Notes(const TUser& user, const std::vector<TStoredNote>& notes, int64_t total, bool first,
                          std::string_view next, std::string_view token) const {
  std::string body = "<h1>Notes of " + HtmlEscape(user.name) + "</h1>\n<p class=\"meta\">";
  body += std::to_string(total) + (total == 1 ? " note" : " notes");
  body += "</p>\n" + SignOutForm(token) + "\n";
  if (notes.empty()) body += "<p>No notes here yet.</p>\n";
  for (const TStoredNote& n : notes) body += NoteArticle(n, false, token);
  std::string nav;
  if (!first) nav += "<a href=\"" + HtmlEscape(base_) + "/notes\">&larr; newest</a> ";
  if (!next.empty()) nav += "<a class=\"older\" href=\"?" + HtmlEscape(next) + "\">older &rarr;</a>";
  if (!nav.empty()) body += "<p>" + nav + "</p>\n";
  return Document("Notes", body);
}

std::string TPages::Note(const TStoredNote& note, std::string_view token) const {
  return Document("Note", "<p><a href=\"" + HtmlEscape(base_) + "/notes\">&larr; all notes</a></p>\n" +
                              NoteArticle(note, true, token));
}

std::string TPages::Message(std::string_view title, std::string_view text) const {
  return Document(title, "<h1>" + HtmlEscape(title) + "</h1>\n<p>" + HtmlEscape(text) + "</p>");
}

}  // namespace pinleaf
