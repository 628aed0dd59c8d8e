// Secrets on the in-process desktop: a keyring held in memory, which a test
// can take away (as on a session without one), and a stand-in for sealing
// that keeps the secret out of sight (not secure: a test double). Which way
// the program is told to keep secrets a test chooses.
#include <map>
#include <mutex>
#include <utility>

#include "platform/headless/desktop.h"
#include "platform/headless/desktop_internal.h"
#include "platform/secrets.h"

namespace platform {

namespace {
struct Secrets {
  std::mutex lock;
  TSecretKeeper keeper = TSecretKeeper::Keyring;
  bool keyring = true;
  std::map<std::pair<std::string, std::string>, std::string> kept;
};
Secrets& S() {
  static Secrets* s = new Secrets;
  return *s;
}

constexpr char kSealed[] = "headless-sealed:";
constexpr unsigned char kMask = 0xA5;
const char kHex[] = "0123456789abcdef";
}  // namespace

TSecretKeeper SecretKeeper() {
  std::lock_guard<std::mutex> hold(S().lock);
  return S().keeper;
}

TSecretResult StoreSecret(const std::string& service, const std::string& user, const std::string& secret) {
  std::lock_guard<std::mutex> hold(S().lock);
  if (!S().keyring) return TSecretResult::NoKeyring;
  S().kept[{service, user}] = secret;
  return TSecretResult::Done;
}

TSecretResult LoadSecret(const std::string& service, const std::string& user, std::string& secret) {
  std::lock_guard<std::mutex> hold(S().lock);
  if (!S().keyring) return TSecretResult::NoKeyring;
  auto it = S().kept.find({service, user});
  if (it == S().kept.end()) return TSecretResult::NotFound;
  secret = it->second;
  return TSecretResult::Done;
}

TSecretResult EraseSecret(const std::string& service, const std::string& user) {
  std::lock_guard<std::mutex> hold(S().lock);
  if (!S().keyring) return TSecretResult::NoKeyring;
  return S().kept.erase({service, user}) ? TSecretResult::Done : TSecretResult::NotFound;
}

std::optional<std::string> SealSecret(const std::string& secret) {
  std::string sealed = kSealed;
  for (unsigned char c : secret) {
    const unsigned char m = c ^ kMask;
    sealed += kHex[m >> 4];
    sealed += kHex[m & 15];
  }
  return sealed;
}

std::optional<std::string> OpenSealedSecret(const std::string& sealed) {
  const std::string prefix = kSealed;
  if (sealed.compare(0, prefix.size(), prefix) != 0 || (sealed.size() - prefix.size()) % 2) return std::nullopt;
  std::string secret;
  for (size_t i = prefix.size(); i < sealed.size(); i += 2) {
    const std::string digits = std::string(kHex);
    const size_t high = digits.find(sealed[i]), low = digits.find(sealed[i + 1]);
    if (high == std::string::npos || low == std::string::npos) return std::nullopt;
    secret += static_cast<char>(static_cast<unsigned char>(high << 4 | low) ^ kMask);
  }
  return secret;
}

namespace headless {
namespace detail {
void ResetSecrets() {
  std::lock_guard<std::mutex> hold(S().lock);
  S().keeper = TSecretKeeper::Keyring;
  S().keyring = true;
  S().kept.clear();
}
}  // namespace detail

void SetSecretKeeper(TSecretKeeper keeper) {
  std::lock_guard<std::mutex> hold(S().lock);
  S().keeper = keeper;
}
void SetKeyringAvailable(bool available) {
  std::lock_guard<std::mutex> hold(S().lock);
  S().keyring = available;
}
}  // namespace headless
}  // namespace platform
