// textsnap for the Linux desktop: the tray client, one per session, plus two
// commands for scripts and the desktop's own shortcuts:
//   textsnap               start the tray client (nothing when it runs already)
//   textsnap --snap        the running client snaps as if its hotkey was pressed;
//                          starts the client first when none runs
//   textsnap send [--title TEXT] [--allow-secret] [FILE]
//                          sends the file's text (or standard input) as one note;
//                          when the service is away the note goes to the outbox
//   textsnap pair [--no-browser] | textsnap pair --forget
//                          pairs this device with the account (its owner approves
//                          the code in a browser), or forgets the pairing
// Settings live in $XDG_CONFIG_HOME/textsnap/ini.ini (~/.config by default).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#include "app/form1.h"
#include "app/outbox.h"
#include "app/pairing.h"
#include "app/sendnote.h"
#include "app/settings.h"
#include "app/startup.h"
#include "http/exceptions.h"
#include "net/exceptions.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/folders.h"
#include "platform/instance.h"
#include "platform/shell.h"
#include "platform/window.h"
#include "runtime/codepage.h"

namespace {

const char kUsage[] =
    "usage: textsnap                start the tray client\n"
    "       textsnap --snap         snap the selection now (starts the client when needed)\n"
    "       textsnap send [--title TEXT] [--allow-secret] [FILE]\n"
    "                               send FILE (or standard input) as one note, titled TEXT;\n"
    "                               a text that looks like a secret is refused unless allowed\n"
    "exit status of send: 0 stored, 1 bad input or settings (or a secret), 2 cannot log in\n"
    "                     (a paired device's token refused: the note is kept in the outbox),\n"
    "                     3 refused by the service, 4 service unreachable (note not kept),\n"
    "                     5 service unreachable, note kept in the outbox to be sent later\n"
    "       textsnap pair [--no-browser]\n"
    "                               pair this device with the account: approve the code it\n"
    "                               prints in a browser signed in to the service (opened\n"
    "                               unless --no-browser); notes then go with the device's\n"
    "                               token, which can only add notes, and no password\n"
    "       textsnap pair --forget  revoke the token on the service and forget it here\n"
    "exit status of pair: 0 paired (or forgotten), 1 bad settings, 2 refused (by the\n"
    "                     account's owner or the service), 3 the code expired,\n"
    "                     4 service unreachable (--forget: forgotten here only)\n";

// The folder of the user's settings, made when missing (private to the
// user); without a home, the current folder.
std::string UserSettingsFolder() {
  std::string folder = platform::UserProgramFolder("textsnap");
  if (folder.empty()) return "./";
  platform::CreateFolders(folder);
  return folder;
}

std::string& UserSettingsPath() {
  static std::string path;
  return path;
}

// Another text snap of this user (another session) has the outbox.
bool g_outboxElsewhere = false;
constexpr const char* kOutboxElsewhere = "outbox is in use by another text snap (on another display?)";

// How long `send` waits for the running client: it answers between two of
// its own steps, and a snap or delivery may take its time-outs first.
constexpr int kKeepAnswerMs = 90000;
// How long the outbox's lock is waited for: `send` holds it only for a read
// and an append; a client holds it as long as it runs.
constexpr uint32_t kSendLockWaitMs = 3000;
constexpr uint32_t kClientLockWaitMs = 10000;

// The client's window, with its settings in the user's config folder.
class TDesktopForm : public ts::TForm1 {
public:
  explicit TDesktopForm(ts::TComponent* owner) : TForm1(owner, UserSettingsPath()) {
    if (g_outboxElsewhere) OutboxInUseElsewhere(kOutboxElsewhere);
  }
};

std::string OutboxLockPath() { return ts::BesideSettings(UserSettingsPath(), ts::kOutboxLockFileName); }

// Where `send` puts a note the service did not take: with the running
// client, which owns the outbox; when none runs, into the outbox file under
// its lock. A client that starts meanwhile waits for that lock before it
// reads the file.
bool KeepUnreachableNote(const ts::TSettings& settings, const std::string& text, const std::string& title,
                         std::string& why) {
  // A note without a title is asked for as before, so an older client takes it.
  const char* request = title.empty() ? ts::kKeepRequest : ts::kKeepTitledRequest;
  const std::string body = title.empty() ? text : title + "\n" + text;
  std::optional<std::string> answer = platform::AskInstance(ts::kInstanceName, request, body, kKeepAnswerMs);
  if (answer) {
    if (*answer == ts::kKeptAnswer) return true;
    // A client from before this request existed answers every request so.
    why = *answer == "ok" ? "the running text snap is older than this command: restart it"
                          : "the running text snap says: " + *answer;
    return false;
  }
  std::optional<ts::TOutbox::TKept> kept =
      ts::KeepOutsideClient(UserSettingsPath(), text, settings.keepHistory, kSendLockWaitMs, title);
  if (!kept) {
    // A client took the outbox in the meantime: it answers now.
    answer = platform::AskInstance(ts::kInstanceName, request, body, kKeepAnswerMs);
    if (answer && *answer == ts::kKeptAnswer) return true;
    why = answer ? "the running text snap says: " + *answer
                 : "the outbox is in use by a text snap that does not answer (on another display?)";
    return false;
  }
  why = ts::NotKeptReason(*kept);
  return why.empty();
}

int RunClient(bool snap) {
  if (!platform::DesktopAvailable()) {
    std::fprintf(stderr, "textsnap: no display to run on (try: textsnap send FILE)\n");
    return 1;
  }
  ts::TStartOptions start;
  start.snap = snap;
  start.claimed = [] {
    // The outbox is this client's while it runs; a `send` that is keeping a
    // note right now finishes first, so the client reads that note too.
    if (platform::LockFile(OutboxLockPath(), kClientLockWaitMs) < 0) {
      g_outboxElsewhere = true;
      std::fprintf(stderr, "textsnap: %s; this one keeps no notes\n", kOutboxElsewhere);
    }
  };
  // A second start: the running client says so with a balloon, as on Windows.
  if (!snap) start.alreadyRunning = [] { std::fprintf(stderr, "textsnap: already running in this session\n"); };
  return ts::RunTextSnap<TDesktopForm>(start);
}

int Send(const char* file, const ts::TSendOptions& options) {
  std::string text;
  if (file && std::strcmp(file, "-") != 0) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "textsnap: cannot read %s: %s\n", file, std::strerror(errno));
      return static_cast<int>(ts::TSendStatus::ssFailed);
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } else {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  ts::TSettings settings = ts::LoadSettings(UserSettingsPath());
  ts::SetUnreachableNoteHandler(KeepUnreachableNote);
  ts::TSendResult result = ts::SendNote(settings, text, options);
  std::fprintf(result.status == ts::TSendStatus::ssStored ? stdout : stderr, "textsnap: %s\n", result.message.c_str());
  return static_cast<int>(result.status);
}

// The running client takes the new pairing (or its end) from the settings
// file; with none running the next start reads it.
void TellClientPairing() { platform::AskInstance(ts::kInstanceName, ts::kPairingRequest, "", kKeepAnswerMs); }

// Exit statuses of `pair`.
enum : int { kPaired = 0, kPairBadSettings = 1, kPairRefused = 2, kPairExpired = 3, kPairUnreachable = 4 };

int Pair(bool openBrowser) {
  ts::TSettings settings = ts::LoadSettings(UserSettingsPath());
  const std::string base = ts::SystemToUtf8(settings.url);
  ts::TServiceHttp http;
  http.SetPinnedCertificate(settings.certSha256);
  ts::TPairing pairing(http, base);
  try {
    if (!pairing.Begin()) {
      std::fprintf(stderr, "textsnap: not paired: %s\n", pairing.Reason().c_str());
      return kPairRefused;
    }
  } catch (const ts::ENetURIException&) {
    std::fprintf(stderr, "textsnap: bad service URL in the settings: \"%s\"\n", base.c_str());
    return kPairBadSettings;
  } catch (const ts::ENetUnknownProtocol&) {
    std::fprintf(stderr, "textsnap: bad service URL in the settings: \"%s\"\n", base.c_str());
    return kPairBadSettings;
  } catch (const ts::ENetException& e) {
    std::fprintf(stderr, "textsnap: the service at %s cannot be reached: %s\n", base.c_str(), e.what());
    return kPairUnreachable;
  }
  std::printf("To pair this device, approve the code %s at\n  %s\n", pairing.UserCode().c_str(),
              pairing.VerificationUrl().c_str());
  std::fflush(stdout);
  // Without a browser here the address can be opened anywhere the owner is
  // signed in; the code is checked there.
  if (openBrowser)
    platform::ShellOpen(0, nullptr, ts::Utf8ToSystem(pairing.VerificationUrl()), nullptr, nullptr,
                        platform::kShowNormal);
  while (pairing.State() == ts::TPairingState::psWaiting) {
    platform::Sleep(pairing.PollDelayMs());
    pairing.Poll();
  }
  switch (pairing.State()) {
    case ts::TPairingState::psPaired:
      break;
    case ts::TPairingState::psExpired:
      std::fprintf(stderr, "textsnap: %s\n", pairing.Reason().c_str());
      return kPairExpired;
    default:
      std::fprintf(stderr, "textsnap: %s\n", pairing.Reason().c_str());
      return kPairRefused;
  }
  // The settings as they are now: another program may have changed them
  // while the owner was approving.
  settings = ts::LoadSettings(UserSettingsPath());
  if (ts::SystemToUtf8(settings.url) != base) {
    std::fprintf(stderr, "textsnap: the service's address changed meanwhile; the pairing is not kept\n");
    return kPairBadSettings;
  }
  settings.token = pairing.Token();
  const bool inFile = ts::SaveSettings(UserSettingsPath(), settings);
  TellClientPairing();
  std::printf("paired%s\n", inFile ? " (the token is kept in ini.ini for want of a keyring)" : "");
  return kPaired;
}

int Forget() {
  ts::TSettings settings = ts::LoadSettings(UserSettingsPath());
  if (settings.token.empty()) {
    std::printf("textsnap: this device is not paired\n");
    return kPaired;
  }
  std::string why;
  bool revoked;
  {
    ts::TServiceHttp http;
    http.SetPinnedCertificate(settings.certSha256);
    revoked = ts::RevokeToken(http, ts::SystemToUtf8(settings.url), settings.token, why);
  }
  settings.token.clear();
  ts::SaveSettings(UserSettingsPath(), settings);
  TellClientPairing();
  if (revoked) {
    std::printf("pairing forgotten\n");
    return kPaired;
  }
  std::fprintf(stderr,
               "textsnap: pairing forgotten here; the service did not answer (%s): revoke the token on its page "
               "Access tokens\n",
               why.c_str());
  return kPairUnreachable;
}

}  // namespace

int main(int argc, char** argv) {
  platform::KeepNewFilesPrivate();  // the settings hold the (scrambled) password
  UserSettingsPath() = UserSettingsFolder() + ts::kSettingsFileName;
  std::string command = argc > 1 ? argv[1] : "";
  if (argc == 1) return RunClient(false);
  if (command == "--snap" && argc == 2) return RunClient(true);
  if (command == "send") {
    ts::TSendOptions options;
    const char* file = nullptr;
    bool usage = false;
    for (int i = 2; i < argc && !usage; ++i) {
      const std::string arg = argv[i];
      if (arg == "--title" && i + 1 < argc)
        options.title = argv[++i];
      else if (arg == "--allow-secret")
        options.allowSecret = true;
      else if (!file && (arg == "-" || arg.compare(0, 2, "--") != 0))
        file = argv[i];
      else
        usage = true;
    }
    if (!usage) return Send(file, options);
  }
  if (command == "pair" && argc == 2) return Pair(true);
  if (command == "pair" && argc == 3 && std::strcmp(argv[2], "--no-browser") == 0) return Pair(false);
  if (command == "pair" && argc == 3 && std::strcmp(argv[2], "--forget") == 0) return Forget();
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::fputs(kUsage, stderr);
  return 1;
}
