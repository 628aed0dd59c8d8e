// textsnap for the Linux desktop: the tray client, one per session, plus two
// commands for scripts and the desktop's own shortcuts:
//   textsnap               start the tray client (nothing when it runs already)
//   textsnap --snap        the running client snaps as if its hotkey was pressed;
//                          starts the client first when none runs
//   textsnap send [FILE]   sends the file's text (or standard input) as one note
// Settings live in $XDG_CONFIG_HOME/textsnap/ini.ini (~/.config by default).
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "app/form1.h"
#include "app/sendnote.h"
#include "app/settings.h"
#include "app/startup.h"
#include "platform/session.h"
#include "platform/window.h"

namespace {

const char kUsage[] =
    "usage: textsnap                start the tray client\n"
    "       textsnap --snap         snap the selection now (starts the client when needed)\n"
    "       textsnap send [FILE]    send FILE (or standard input) as one note\n"
    "exit status of send: 0 stored, 1 bad input or settings, 2 cannot log in,\n"
    "                     3 refused by the service, 4 service unreachable\n";

// The folder of the user's settings, made when missing (private to the user).
std::string UserSettingsFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && *home ? home : ".") + "/.config";
  }
  std::string folder = base + "/textsnap";
  for (size_t at = 1; at != std::string::npos; at = folder.find('/', at + 1)) {
    std::string part = folder.substr(0, folder.find('/', at));
    if (!part.empty()) mkdir(part.c_str(), 0700);
    if (folder.find('/', at) == std::string::npos) break;
  }
  mkdir(folder.c_str(), 0700);
  return folder + "/";
}

std::string& UserSettingsPath() {
  static std::string path;
  return path;
}

platform::WindowHandle g_mainWindow = 0;
bool g_snapAtStart = false;

void PostSnap() {
  if (g_mainWindow) platform::PostToWindow(g_mainWindow, platform::wm::HotKey, ts::kHotKeyId, 0);
}

// The client's window, with its settings in the user's config folder.
class TDesktopForm : public ts::TForm1 {
public:
  explicit TDesktopForm(ts::TComponent* owner) : TForm1(owner, UserSettingsPath()) {
    g_mainWindow = Handle();
    if (g_snapAtStart) PostSnap();
  }
  ~TDesktopForm() override { g_mainWindow = 0; }
};

int RunClient(bool snap) {
  if (!platform::DesktopAvailable()) {
    std::fprintf(stderr, "textsnap: no display to run on (try: textsnap send FILE)\n");
    return 1;
  }
  bool first = platform::ClaimInstance(ts::kInstanceName, [](const std::string& request) {
    if (request == "snap") PostSnap();
    // A second start: the running client says so with a balloon, as on Windows.
    if (request == "start" && g_mainWindow) platform::PostToWindow(g_mainWindow, ts::kAnotherStartMessage, 0, 0);
  });
  if (!first) {
    if (snap) return platform::SendToInstance(ts::kInstanceName, "snap") ? 0 : 1;
    platform::SendToInstance(ts::kInstanceName, "start");
    std::fprintf(stderr, "textsnap: already running in this session\n");
    return 0;
  }
  g_snapAtStart = snap;
  return ts::RunTextSnap<TDesktopForm>();
}

int Send(const char* file) {
  std::string text;
  if (file && std::strcmp(file, "-") != 0) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "textsnap: cannot read %s: %s\n", file, std::strerror(errno));
      return static_cast<int>(ts::TSendStatus::Failed);
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } else {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
  ts::TSettings settings = ts::LoadSettings(UserSettingsPath());
  ts::TSendResult result = ts::SendNote(settings, text);
  std::fprintf(result.status == ts::TSendStatus::Stored ? stdout : stderr, "textsnap: %s\n", result.message.c_str());
  return static_cast<int>(result.status);
}

}  // namespace

int main(int argc, char** argv) {
  umask(077);  // the settings hold the (scrambled) password
  UserSettingsPath() = UserSettingsFolder() + ts::kSettingsFileName;
  std::string command = argc > 1 ? argv[1] : "";
  if (argc == 1) return RunClient(false);
  if (command == "--snap" && argc == 2) return RunClient(true);
  if (command == "send" && argc <= 3) return Send(argc == 3 ? argv[2] : nullptr);
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::fputs(kUsage, stderr);
  return 1;
}
