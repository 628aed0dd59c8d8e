// The HTML pages of the service.
//
// The client looks into three of these answers for fixed byte strings: the
// login form's field name "data[User][username]" (it must log in) and "===="
// (the note was stored). So the pages it reads (probe, login, home, upload
// answers) never echo text that a user or a request supplied: an account named
// after the field, or a refusal quoting a note with "====" in it, would turn
// an answer into its opposite.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/store.h"

namespace pinleaf {

// Escapes text for HTML element content and quoted attribute values. A NUL byte
// becomes U+FFFD, since HTML has no way to carry it.
std::string HtmlEscape(std::string_view text);

// "#RRGGBB" for a Windows colour value 0x00BBGGRR.
std::string CssColor(uint32_t color);

// Text for a URL's query: everything but letters, digits and "-._~" as %XX.
std::string UrlEncode(std::string_view text);

// A note's body as HTML: escaped, the matches of `terms` marked, and its last
// line a link (rel noopener noreferrer nofollow) when the body is `whole` and
// that line is an http or https address.
std::string NoteBodyHtml(std::string_view body, bool whole, const std::vector<std::string>& terms);

// "2026-12-08 14:34:05 UTC".
std::string FormatUtc(int64_t ms);

// What the notes page shows.
struct TNotesView {
  TUser user;
  std::vector<TStoredNote> notes;
  int64_t total = 0;               // notes of the account
  bool first = true;               // the newest page
  std::string next;                // query of the following page; empty on the last
  std::string query, tag;          // as typed
  std::vector<std::string> terms;  // folded, for the marks
  std::vector<TTagCount> tags;
  // A search that read as far back as this (and no further) without filling the page.
  int64_t scanned_to_ms = 0;
  std::string token;
};

// An access token as the tokens page lists it.
struct TTokensView {
  std::vector<TAccessToken> tokens;
  std::string created;  // a token just made, shown this once
  std::string created_name;
  std::string notice;
  std::string token;  // the form token
};

class TPages {
public:
  explicit TPages(std::string base) : base_(std::move(base)) {}

  // Forms carry `token`, the browser's form token (hexadecimal digits).

  // The sign-in form, with a notice above it when `notice` is not empty.
  // `next`: where a sign-in leads instead of the home page (a path below the base).
  std::string Login(std::string_view notice, std::string_view token, std::string_view next = "") const;
  // The probe's answer to a signed-in client, without the sign-in form.
  std::string ProbeSignedIn() const;
  // Where a sign-in leads.
  std::string Home(std::string_view token) const;
  std::string NoteStored() const;
  std::string NoteRefused(std::string_view reason) const;
  std::string SignUp(std::string_view notice, std::string_view token) const;
  std::string SignUpClosed() const;
  // One page of the user's notes (previews), newest first, with the search
  // box, the tags, the downloads and the import.
  std::string Notes(const TNotesView& view) const;
  std::string Tokens(const TUser& user, const TTokensView& view) const;
  std::string ImportDone(std::string_view summary, const std::vector<std::string>& problems) const;
  // One whole note.
  std::string Note(const TStoredNote& note, std::string_view token) const;
  std::string Message(std::string_view title, std::string_view text) const;

  // Pairing a device: the form for its code, the question whether to pair
  // it, and the answer.
  std::string DeviceCode(std::string_view notice, std::string_view typed) const;
  std::string DeviceConfirm(const TDeviceGrant& grant, std::string_view shown_code, std::string_view token) const;
  std::string DeviceDone(bool approved, std::string_view name) const;

private:
  // `extra`: the style the notes, tokens and pairing pages use besides the common one.
  std::string Document(std::string_view title, std::string_view body, bool extra = false) const;
  std::string LoginForm(std::string_view token, std::string_view next = "") const;
  std::string SignOutForm(std::string_view token) const;
  std::string NoteArticle(const TStoredNote& note, bool whole, std::string_view token,
                          const std::vector<std::string>& terms = {}) const;

  std::string base_;
};

}  // namespace pinleaf
