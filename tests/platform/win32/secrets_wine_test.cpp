// Sealing with the system's data protection (DPAPI), under Wine.
#include <gtest/gtest.h>

#include <windows.h>
// after windows.h, which it needs
#include <dpapi.h>

#include "platform/secrets.h"

using namespace platform;

namespace {

TEST(SealedSecrets, ARoundTripThroughDataProtection) {
  EXPECT_EQ(SecretKeeper(), TSecretKeeper::Sealing);
  std::string got;
  EXPECT_EQ(LoadSecret("http://localhost:8660/pinleaf2", "me", got), TSecretResult::NoKeyring);

  const std::string secret("p&ss w\0rd \xe7\xa7\x98\xe5\xaf\x86", 16);
  std::optional<std::string> sealed = SealSecret(secret);
  ASSERT_TRUE(sealed.has_value());
  EXPECT_GT(sealed->size(), secret.size());
  EXPECT_EQ(sealed->find("p&ss"), std::string::npos) << "the text does not show";
  EXPECT_EQ(OpenSealedSecret(*sealed), secret);
  EXPECT_EQ(OpenSealedSecret(*SealSecret("")), "");

  std::string changed = *sealed;
  changed.back() ^= 0x20;  // in its signature
  EXPECT_FALSE(OpenSealedSecret(changed).has_value()) << "changed bytes";
  EXPECT_FALSE(OpenSealedSecret("not sealed").has_value());

  // Sealed by the same user without our entropy (another program): not ours to open.
  DATA_BLOB in{static_cast<DWORD>(secret.size()), reinterpret_cast<BYTE*>(const_cast<char*>(secret.data()))}, out{};
  ASSERT_TRUE(::CryptProtectData(&in, L"other", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out));
  std::string foreign(reinterpret_cast<const char*>(out.pbData), out.cbData);
  ::LocalFree(out.pbData);
  EXPECT_FALSE(OpenSealedSecret(foreign).has_value());
}

}  // namespace
