// The user's secrets (the account's password), kept by the system for the
// user alone. Systems keep them one of two ways: a keyring of the desktop
// holds the secret itself (Linux: the Secret Service on the session bus),
// or the secret is sealed for the user and the caller keeps the sealed bytes
// (Windows: data protection, DPAPI). Secrets are bytes.
#pragma once

#include <optional>
#include <string>

namespace platform {

enum class TSecretKeeper {
  Keyring,  // StoreSecret, LoadSecret, EraseSecret
  Sealing,  // SealSecret, OpenSealedSecret
};
// How this system keeps secrets.
TSecretKeeper SecretKeeper();

// --- a keyring ---------------------------------------------------------------
enum class TSecretResult {
  Done,
  NotFound,   // LoadSecret, EraseSecret: none is kept under that service and user
  NoKeyring,  // no keyring answers (none on the session bus, or none on this system)
  Failed,     // the keyring answered with an error (locked and not unlocked, refused ...)
};
// The secret kept under (`service`, `user`): the service's URL and the
// account's ID. Storing replaces what was kept under them.
TSecretResult StoreSecret(const std::string& service, const std::string& user, const std::string& secret);
TSecretResult LoadSecret(const std::string& service, const std::string& user, std::string& secret);
TSecretResult EraseSecret(const std::string& service, const std::string& user);

// --- sealing -------------------------------------------------------------------
// `secret` sealed so that only this user (on this machine) can open it again;
// nothing when the system cannot seal.
std::optional<std::string> SealSecret(const std::string& secret);
// The secret again; nothing when the bytes were not sealed by this user,
// were changed, or the system cannot open them.
std::optional<std::string> OpenSealedSecret(const std::string& sealed);

}  // namespace platform
