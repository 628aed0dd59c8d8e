// The settings file ini.ini (beside the executable, or in the user's own
// folder when the executable's folder cannot be written), and the two
// transforms the password goes through on its way there.
#pragma once

#include <cstdint>
#include <string>

namespace ts {

inline constexpr const char* kDefaultServiceUrl = "http://localhost:8660/pinleaf2";
inline constexpr int kPasswordKey = 617;

struct TSettings {
  std::string url = kDefaultServiceUrl;
  std::string password;
  std::string id;
  int32_t hotkeyCode = 0;
  bool autoCopy = true;
  int32_t hotkeyModifiers = 0;  // 1 Alt, 2 Ctrl, 4 Shift
  // This device's access token from pairing with the service (it may only
  // add notes); kept like the password, never in the clear beside it when a
  // protected store is there. Empty: the service is spoken to with the
  // account's ID and password (the form protocol).
  std::string token;
  // SHA-256 (hex) of the one certificate an https service may present; empty
  // lets the system's trust store decide. Read only: the user writes it.
  std::string certSha256;
  // Set by hand in the file only (the settings window neither shows nor
  // writes them): whether the history of recent snaps is kept on disk, and
  // the first pause in seconds before a kept note is tried again.
  bool keepHistory = true;
  int32_t outboxRetrySeconds = 30;
  // Whether a snap notes where it came from: the tray menu's check item
  // writes it (SaveSnapSource). Whether a text that looks like a secret is
  // held back: set by hand only.
  bool snapSource = false;
  bool secretGuard = true;
};

inline constexpr const char* kSettingsFileName = "ini.ini";
inline constexpr const char* kUserSettingsFolderName = "text snap";

// Where the settings are read from and written to.
struct TSettingsLocation {
  std::string readPath;
  std::string writePath;
  bool userFolder = false;  // writePath lies in the user's own folder, made at the start
};

// The executable's folder (separator kept) followed by "ini.ini".
std::string SettingsPath();
// Beside the executable while its folder can be written (portable use);
// otherwise "text snap\ini.ini" in the user's data folder, read from a file
// beside the executable until the user's own file exists.
TSettingsLocation FindSettingsLocation();
// The folder the settings are written to, separator kept: files that belong
// with the settings live there too.
std::string SettingsFolder();
// A file of the program's own in the folder of the settings file.
std::string BesideSettings(const std::string& settingsPath, const std::string& name);

// Each byte b becomes (K - 1 - b) mod 256 with K the key's low 8 bits; its own inverse.
std::string ScrambleText(const std::string& text, int key);
std::string PercentEncode(const std::string& text);
// A malformed escape leaves the whole input undecoded.
std::string PercentDecode(const std::string& text);

TSettings LoadSettings(const std::string& path);
// Raises EIniFileException at the first key that cannot be written; later keys are not written.
// Returns true when a secret (password, token) had to go into the file itself
// for want of a keyring and was not there before: the user is told so.
bool SaveSettings(const std::string& path, const TSettings& settings);
// Makes the user's own folder of the location when it is missing: the outbox
// and the history are written there too, also before any settings are saved.
void MakeSettingsFolder(const TSettingsLocation& location);
// The same to the location's file, making the user's own folder first when it is missing.
bool SaveSettings(const TSettingsLocation& location, const TSettings& settings);
// Writes the one key of the tray menu's "Note where it came from", the
// others as they are; raises as SaveSettings does.
void SaveSnapSource(const TSettingsLocation& location, bool on);

}  // namespace ts
