// Secrets on Windows: sealed for the user with data protection (DPAPI, the
// user's scope, our own entropy so that another program of the user's that
// merely calls the same function cannot open them unasked); the caller keeps
// the sealed bytes. There is no keyring of the desktop here.
#include "platform/secrets.h"

#include <windows.h>
// after windows.h, which it needs
#include <dpapi.h>

namespace platform {

namespace {
constexpr char kEntropy[] = "textsnap.pinleaf.online/password";

DATA_BLOB BlobOf(const char* bytes, size_t size) {
  return {static_cast<DWORD>(size), reinterpret_cast<BYTE*>(const_cast<char*>(bytes))};
}
DATA_BLOB BlobOf(const std::string& bytes) { return BlobOf(bytes.data(), bytes.size()); }
DATA_BLOB Entropy() { return BlobOf(kEntropy, sizeof kEntropy - 1); }

std::optional<std::string> Taken(BOOL done, DATA_BLOB& out) {
  if (!done) return std::nullopt;
  std::string bytes(reinterpret_cast<const char*>(out.pbData), out.cbData);
  ::SecureZeroMemory(out.pbData, out.cbData);
  ::LocalFree(out.pbData);
  return bytes;
}
}  // namespace

TSecretKeeper SecretKeeper() { return TSecretKeeper::Sealing; }

TSecretResult StoreSecret(const std::string&, const std::string&, const std::string&) {
  return TSecretResult::NoKeyring;
}
TSecretResult LoadSecret(const std::string&, const std::string&, std::string&) { return TSecretResult::NoKeyring; }
TSecretResult EraseSecret(const std::string&, const std::string&) { return TSecretResult::NoKeyring; }

std::optional<std::string> SealSecret(const std::string& secret) {
  DATA_BLOB in = BlobOf(secret), entropy = Entropy(), out{};
  return Taken(::CryptProtectData(&in, L"text snap", &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out), out);
}

std::optional<std::string> OpenSealedSecret(const std::string& sealed) {
  DATA_BLOB in = BlobOf(sealed), entropy = Entropy(), out{};
  return Taken(::CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out), out);
}

}  // namespace platform
