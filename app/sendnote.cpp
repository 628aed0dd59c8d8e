#include "app/sendnote.h"

#include "app/protocol.h"
#include "app/secrets.h"
#include "app/serviceclient.h"
#include "app/snap.h"
#include "app/source.h"
#include "http/exceptions.h"
#include "net/exceptions.h"
#include "platform/clock.h"
#include "runtime/codepage.h"
#include "runtime/text.h"

namespace ts {

namespace {

TUnreachableNoteHandler& UnreachableHandler() {
  static TUnreachableNoteHandler handler;
  return handler;
}

TSendResult Unreachable(const TSettings& settings, const std::string& text, const std::string& title,
                        const std::string& why) {
  std::string notKept;
  if (UnreachableHandler() && UnreachableHandler()(settings, text, title, notKept))
    return {TSendStatus::ssKept, "the service cannot be reached (" + why + "); the note is kept to be sent later"};
  return {TSendStatus::ssUnreachable,
          "the service cannot be reached: " + why + (notKept.empty() ? "" : "; the note is NOT kept: " + notKept)};
}

}  // namespace

bool IsNoteText(const std::string& text) {
  return text.find('\0') == std::string::npos && Utf16ToUtf8(Utf8ToUtf16(text)) == text;
}

void SetUnreachableNoteHandler(TUnreachableNoteHandler handler) { UnreachableHandler() = std::move(handler); }

TSendResult SendNote(const TSettings& settings, const std::string& utf8Text, const TSendOptions& options) {
  if (!IsNoteText(utf8Text)) return {TSendStatus::ssFailed, "not text: the input is not UTF-8 text"};
  if (Trim(utf8Text).empty()) return {TSendStatus::ssFailed, "no data: the input holds only blanks"};
  if (!IsNoteText(options.title)) return {TSendStatus::ssFailed, "bad title: it is not UTF-8 text"};
  const std::string title = CleanTitle(options.title);
  if (settings.secretGuard && !options.allowSecret) {
    for (const std::string* part : {&utf8Text, &title})
      if (std::optional<TSecretFind> secret = FindSecret(*part))
        return {TSendStatus::ssFailed, std::string(kLooksSecretTitle) + " (" + SecretKindName(secret->kind) +
                                           (part == &title ? " in the title" : "") +
                                           "; --allow-secret sends it all the same)"};
  }
  // The settings hold text in the system code page; the service gets UTF-8.
  const std::string base = SystemToUtf8(settings.url);
  const std::string id = SystemToUtf8(settings.id);
  const std::string password = SystemToUtf8(settings.password);
  TServiceHttp http;
  http.SetPinnedCertificate(settings.certSha256);
  TServiceClient service(http);
  service.LoginPauseMs = 0;  // one note, and the program ends
  // A paired device sends with its token alone; the ID and password may be empty.
  const TServiceOutcome outcome = service.Send({base, id, password, settings.token}, [&utf8Text, &title] {
    return TOutgoingNote{utf8Text, PaperId(platform::GetLocalTime()), title};
  });
  switch (outcome.result) {
    case TServiceResult::srStored:
      return {TSendStatus::ssStored, "stored"};
    case TServiceResult::srLoginRefused: {
      if (settings.token.empty()) return {TSendStatus::ssNotLoggedIn, "cannot login: the service refused the account"};
      // A revoked pairing loses nothing: the note waits in the outbox for the
      // device to be paired again, as a snap's does.
      std::string notKept;
      const bool kept = UnreachableHandler() && UnreachableHandler()(settings, utf8Text, title, notKept);
      return {TSendStatus::ssNotLoggedIn,
              "cannot login: " + outcome.reason +
                  (kept ? "; the note is kept to be sent later"
                        : "; the note is NOT kept" + (notKept.empty() ? std::string() : ": " + notKept))};
    }
    case TServiceResult::srRefused:
    case TServiceResult::srFailed:
      break;
  }
  try {
    outcome.RaiseError();
    return {TSendStatus::ssRefused, "cannot send data: the service did not store it"};
  } catch (const ENetHTTPProtocolException& e) {
    return {TSendStatus::ssRefused, "the service refused the request: " + std::string(e.what())};
  } catch (const ENetURIException& e) {
    return {TSendStatus::ssFailed, "bad service URL: " + std::string(e.what())};
  } catch (const ENetUnknownProtocol& e) {
    return {TSendStatus::ssFailed, "bad service URL: " + std::string(e.what())};
  } catch (const ENetException& e) {
    std::string why = e.what();
    for (char& c : why)
      if (c == '\r' || c == '\n') c = ' ';
    return Unreachable(settings, utf8Text, title, why);
  }
}

}  // namespace ts
