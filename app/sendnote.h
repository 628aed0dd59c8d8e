// One note sent from a script or a terminal: the text of a file or of
// standard input, with the account of the settings file, without the tray.
// The conversation is the snap's own (probe, login when asked, upload, or the
// paired device's one call with its token); the outcome is a status a script
// can test.
#pragma once

#include <functional>
#include <string>

#include "app/settings.h"

namespace ts {

// The command's exit status.
enum class TSendStatus : int {
  ssStored = 0,       // the service stored the note
  ssFailed = 1,       // nothing sent: bad input or settings (message says which)
  ssNotLoggedIn = 2,  // the service refused the account
  ssRefused = 3,      // the service answered but did not store the note
  ssUnreachable = 4,  // no answer: network, connection or time-out
  ssKept = 5,         // unreachable, and kept by the unreachable-note handler for later
};

struct TSendResult {
  TSendStatus status = TSendStatus::ssFailed;
  std::string message;  // for the user, one line
};

// Where a note goes that could not reach the service (the outbox). Returns
// true when it kept the note; otherwise `why` says what stood in the way.
// Empty: nothing keeps it.
using TUnreachableNoteHandler = std::function<bool(const TSettings& settings, const std::string& utf8Text,
                                                   const std::string& utf8Title, std::string& why)>;
void SetUnreachableNoteHandler(TUnreachableNoteHandler handler);

// Whether `text` can be a note: UTF-8 text without NUL bytes.
bool IsNoteText(const std::string& text);

struct TSendOptions {
  std::string title;         // the note's title (UTF-8); empty for none
  bool allowSecret = false;  // send a text that looks like a secret all the same
};

// Sends `utf8Text` as one note; blanks around it do not count, as in a snap.
// A text that looks like a secret is refused (ssFailed) unless allowed, as
// the settings' secret guard does for a snap.
TSendResult SendNote(const TSettings& settings, const std::string& utf8Text, const TSendOptions& options = {});

}  // namespace ts
