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

// "2026-12-08 14:34:05 UTC".
std::string FormatUtc(int64_t ms);

class TPages {
public:
  explicit TPages(std::string base) : base_(std::move(base)) {}

  // Forms carry `token`, the browser's form token (hexadecimal digits).

  // The sign-in form, with a notice above it when `notice` is not empty.
  std::string Login(std::string_view notice, std::string_view token) const;
  // The probe's answer to a signed-in client, without the sign-in form.
  std::string ProbeSignedIn() const;
  // Where a sign-in leads.
  std::string Home(std::string_view token) const;
  std::string NoteStored() const;
  std::string NoteRefused(std::string_view reason) const;
  std::string SignUp(std::string_view notice, std::string_view token) const;
  // One page of the user's notes (previews), newest first. `next` is the query
  // of the following page, empty on the last; `first` tells whether this is the first.
  std::string Notes(const TUser& user, const std::vector<TStoredNote>& notes, int64_t total, bool first,
                    std::string_view next, std::string_view token) const;
  // One whole note.
  std::string Note(const TStoredNote& note, std::string_view token) const;
  std::string Message(std::string_view title, std::string_view text) const;

private:
  std::string Document(std::string_view title, std::string_view body) const;
  std::string LoginForm(std::string_view token) const;
  std::string SignOutForm(std::string_view token) const;
  std::string NoteArticle(const TStoredNote& note, bool whole, std::string_view token) const;

  std::string base_;
};

}  // namespace pinleaf
