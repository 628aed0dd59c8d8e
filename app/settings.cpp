#include "app/settings.h"

#include "http/headers.h"

#include <functional>
#include <optional>

#include "platform/file.h"
#include "platform/folders.h"
#include "platform/module.h"
#include "platform/secrets.h"
#include "runtime/codepage.h"
#include "runtime/exception.h"
#include "runtime/inifile.h"
#include "runtime/text.h"

namespace ts {

namespace {
constexpr const char* kGlobal = "globalsetting";
constexpr const char* kSetting = "setting";
TSettings ReadSettingsKeys(const std::string& path);
bool WriteSecrets(TIniFile& ini, const TSettings& s, const TSettings& before);
// Writes keys into the file through a draft that starts as the file is now,
// so the keys the user set by hand stay; the draft replaces the file in one
// step. Raises EIniFileException when it cannot.
void WriteKeys(const std::string& path, const std::function<void(TIniFile& ini)>& write);
}  // namespace

std::string SettingsPath() { return ExtractFilePath(platform::ModuleFileName()) + kSettingsFileName; }

TSettingsLocation FindSettingsLocation() {
  std::string beside = SettingsPath();
  std::string exeFolder = ExtractFilePath(beside);
  std::string userFolder = platform::UserProgramFolder(kUserSettingsFolderName);
  // Without a folder of the user's own there is nowhere better to go.
  if (userFolder.empty() || platform::FolderWritable(exeFolder.empty() ? "." : exeFolder)) return {beside, beside};
  std::string own = userFolder + kSettingsFileName;
  // Settings placed beside the executable (by whoever installed it) count
  // until the user saves settings of their own.
  if (!platform::FileExists(own) && platform::FileExists(beside)) return {beside, own, true};
  return {own, own, true};
}

std::string SettingsFolder() { return ExtractFilePath(FindSettingsLocation().writePath); }

std::string BesideSettings(const std::string& settingsPath, const std::string& name) {
  return ExtractFilePath(settingsPath) + name;
}

std::string ScrambleText(const std::string& text, int key) {
  const auto k = static_cast<unsigned char>(key & 0xFF);
  std::string out(text);
  for (char& c : out) c = static_cast<char>(static_cast<unsigned char>(k - 1 - static_cast<unsigned char>(c)));
  return out;
}

std::string PercentEncode(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    if (c == '-' || c == '.' || c == '_' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
        (c >= 'a' && c <= 'z')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string PercentDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      int32_t value;
      if (i + 2 >= text.size()) return text;  // fewer than two bytes follow
      if (!TryStrToInt("$" + text.substr(i + 1, 2), value)) return text;
      out += static_cast<char>(value);
      i += 2;
    } else if (c == '+') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

namespace {
// The account's secrets (the password, and the device's token from pairing)
// are kept where the system keeps secrets: sealed for the user in ini.ini
// (Windows) or in the desktop's keyring (Linux). Without either they stay in
// ini.ini, scrambled, as before; a file of an older version is read so, and
// the next save moves the secret.
struct TSecretSlot {
  const char* plainKey;       // scrambled and percent-encoded, the old way
  const char* sealedKey;      // sealed for the user, base64
  const char* keyringSuffix;  // after the URL in the keyring's service attribute
};
constexpr TSecretSlot kPasswordSlot{"ini_online_pass", "ini_online_pass_protected", ""};
constexpr TSecretSlot kTokenSlot{"ini_online_token", "ini_online_token_protected", " device token"};

std::string Base64Decode(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const size_t at = alphabet.find(c);
    if (at == std::string::npos) continue;  // padding, line breaks
    bits = (bits << 6) | static_cast<uint32_t>(at);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::string ReadSecret(const TIniFile& ini, const TSecretSlot& slot, const std::string& url, const std::string& id) {
  if (platform::SecretKeeper() == platform::TSecretKeeper::Sealing) {
    const std::string sealed = ini.ReadString(kGlobal, slot.sealedKey, "");
    // Sealed by another user or on another machine: it must be typed again.
    if (!sealed.empty()) return platform::OpenSealedSecret(Base64Decode(sealed)).value_or("");
  } else {
    std::string kept;
    if (platform::LoadSecret(url + slot.keyringSuffix, id, kept) == platform::TSecretResult::Done) return kept;
  }
  return ScrambleText(PercentDecode(ini.ReadString(kGlobal, slot.plainKey, "")), kPasswordKey);
}

// Returns true when the secret went into ini.ini for want of a keyring and
// was not there before (the user is told then).
bool WriteSecret(TIniFile& ini, const TSecretSlot& slot, const std::string& secret, const TSettings& s,
                 const TSettings& before, const std::string& wasThere) {
  const bool sealing = platform::SecretKeeper() == platform::TSecretKeeper::Sealing;
  const std::string service = s.url + slot.keyringSuffix;
  // The keyring's entry of an account or service no longer set goes.
  if (!sealing && (before.url != s.url || before.id != s.id))
    platform::EraseSecret(before.url + slot.keyringSuffix, before.id);
  if (secret.empty()) {
    ini.DeleteKey(kGlobal, slot.sealedKey);
    if (!sealing) platform::EraseSecret(service, s.id);
    // An empty password is written as an empty value, as it always was.
    if (slot.plainKey == kPasswordSlot.plainKey)
      ini.WriteString(kGlobal, slot.plainKey, "");
    else
      ini.DeleteKey(kGlobal, slot.plainKey);
    return false;
  }
  if (sealing) {
    if (const auto sealed = platform::SealSecret(secret)) {
      ini.WriteString(kGlobal, slot.sealedKey, Base64Encode(*sealed));
      ini.DeleteKey(kGlobal, slot.plainKey);
      return false;
    }
  } else if (platform::StoreSecret(service, s.id, secret) == platform::TSecretResult::Done) {
    ini.DeleteKey(kGlobal, slot.plainKey);
    return false;
  }
  ini.DeleteKey(kGlobal, slot.sealedKey);
  ini.WriteString(kGlobal, slot.plainKey, PercentEncode(ScrambleText(secret, kPasswordKey)));
  return wasThere.empty();
}

bool WriteSecrets(TIniFile& ini, const TSettings& s, const TSettings& before) {
  TIniFile file(ini.FileName());
  const std::string passwordThere = file.ReadString(kGlobal, kPasswordSlot.plainKey, "");
  const std::string tokenThere = file.ReadString(kGlobal, kTokenSlot.plainKey, "");
  const bool password = WriteSecret(ini, kPasswordSlot, s.password, s, before, passwordThere);
  const bool token = WriteSecret(ini, kTokenSlot, s.token, s, before, tokenThere);
  return password || token;
}

TSettings ReadSettingsKeys(const std::string& path) {
  TIniFile ini(path);
  TSettings s;
  s.url = ini.ReadString(kGlobal, "ini_online_url", kDefaultServiceUrl);
  s.id = ini.ReadString(kGlobal, "ini_online_id", "");
  s.password = ReadSecret(ini, kPasswordSlot, s.url, s.id);
  s.token = ReadSecret(ini, kTokenSlot, s.url, s.id);
  s.certSha256 = ini.ReadString(kGlobal, "ini_online_cert_sha256", "");
  s.hotkeyCode = ini.ReadInteger(kSetting, "hotkey", 0);
  s.autoCopy = ini.ReadBool(kSetting, "hotkey_autocopy", true);
  s.hotkeyModifiers = ini.ReadInteger(kSetting, "hotkey_shift", 0);
  s.keepHistory = ini.ReadBool(kSetting, "history", true);
  s.outboxRetrySeconds = ini.ReadInteger(kSetting, "outbox_retry", 30);
  s.snapSource = ini.ReadBool(kSetting, "snap_source", false);
  s.secretGuard = ini.ReadBool(kSetting, "secret_guard", true);
  return s;
}
}  // namespace

TSettings LoadSettings(const std::string& path) {
  // The keys are read one at a time: a save in between (the tray client,
  // while textsnap send reads) would give a mix of two versions. Read again
  // until the file stayed the same all along.
  for (int tries = 0;; ++tries) {
    const auto before = platform::ReadWholeFile(path);
    TSettings s = ReadSettingsKeys(path);
    if (tries >= 50 || platform::ReadWholeFile(path) == before) return s;
  }
}

void MakeSettingsFolder(const TSettingsLocation& location) {
  // When it cannot be made, the writes into it fail and say so.
  std::string folder = ExtractFilePath(location.writePath);
  if (location.userFolder && folder.size() > 1 && !platform::FileExists(location.writePath)) {
    folder.pop_back();
    platform::CreateFolder(folder);
  }
}

bool SaveSettings(const TSettingsLocation& location, const TSettings& settings) {
  // Made at the start already; again in case it was removed since.
  MakeSettingsFolder(location);
  return SaveSettings(location.writePath, settings);
}

bool SaveSettings(const std::string& path, const TSettings& s) {
  // The whole file is written once: a crash leaves the old settings or the
  // new ones, and a reader (textsnap send) never sees half of them.
  const TSettings before = ReadSettingsKeys(path);
  bool inFile = false;
  WriteKeys(path, [&](TIniFile& ini) {
    ini.WriteString(kGlobal, "ini_online_url", s.url);
    ini.WriteString(kGlobal, "ini_online_id", s.id);
    inFile = WriteSecrets(ini, s, before);
    ini.WriteBool(kSetting, "hotkey_autocopy", s.autoCopy);
    ini.WriteInteger(kSetting, "hotkey", s.hotkeyCode);
    ini.WriteInteger(kSetting, "hotkey_shift", s.hotkeyModifiers);
  });
  return inFile;
}

void SaveSnapSource(const TSettingsLocation& location, bool on) {
  MakeSettingsFolder(location);
  // A file that is still read from beside the executable goes on as the
  // user's own, as a save from the settings window would make it.
  if (location.readPath != location.writePath && !platform::FileExists(location.writePath)) {
    if (const auto beside = platform::ReadWholeFile(location.readPath))
      platform::ReplaceDurably(location.writePath, *beside);
  }
  WriteKeys(location.writePath, [on](TIniFile& ini) { ini.WriteBool(kSetting, "snap_source", on); });
}

namespace {
void WriteKeys(const std::string& path, const std::function<void(TIniFile& ini)>& write) {
  auto failed = [&path] { return EIniFileException(Format("%s に書き込めません", {SystemToUtf8(path)})); };
  bool missing = false;
  const auto before = platform::ReadWholeFile(path, &missing);
  if (!before && !missing) throw failed();  // unread, it would be written over
  const std::string draft = path + ".new";
  if (!platform::ReplaceDurably(draft, before.value_or(""))) throw failed();
  std::optional<std::string> after;
  try {
    TIniFile ini(draft);
    write(ini);
    after = platform::ReadWholeFile(draft);
  } catch (const EIniFileException&) {
    platform::RemoveFile(draft);
    throw failed();
  }
  platform::RemoveFile(draft);
  // Private to the user whatever the file's mode was.
  if (!after || !platform::ReplaceDurably(path, *after)) throw failed();
}

}  // namespace

}  // namespace ts
