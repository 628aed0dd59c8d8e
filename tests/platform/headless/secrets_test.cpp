// The in-process desktop's stand-ins for the secret store, which the upper
// layers' tests lean on: a keyring that can be taken away, and sealing.
#include <gtest/gtest.h>

#include "platform/headless/desktop.h"
#include "platform/secrets.h"

namespace hl = platform::headless;
using namespace platform;

namespace {

class Secrets : public ::testing::Test {
protected:
  void SetUp() override { hl::ResetDesktop(); }
  void TearDown() override { hl::ResetDesktop(); }
};

TEST_F(Secrets, TheKeyringKeepsOneSecretPerServiceAndUserAndCanBeAway) {
  const std::string url = "http://localhost:8660/pinleaf2", secret("p\0ss 秘密", 11);
  std::string got;
  EXPECT_EQ(SecretKeeper(), TSecretKeeper::Keyring);
  EXPECT_EQ(LoadSecret(url, "me", got), TSecretResult::NotFound);
  EXPECT_EQ(StoreSecret(url, "me", secret), TSecretResult::Done);
  EXPECT_EQ(StoreSecret(url, "you", "yours"), TSecretResult::Done);
  ASSERT_EQ(LoadSecret(url, "me", got), TSecretResult::Done);
  EXPECT_EQ(got, secret) << "bytes, a NUL among them";
  EXPECT_EQ(LoadSecret("http://elsewhere/p", "me", got), TSecretResult::NotFound);
  EXPECT_EQ(StoreSecret(url, "me", "new"), TSecretResult::Done);
  ASSERT_EQ(LoadSecret(url, "me", got), TSecretResult::Done);
  EXPECT_EQ(got, "new") << "replaced";

  hl::SetKeyringAvailable(false);
  EXPECT_EQ(LoadSecret(url, "me", got), TSecretResult::NoKeyring);
  EXPECT_EQ(StoreSecret(url, "me", "x"), TSecretResult::NoKeyring);
  EXPECT_EQ(EraseSecret(url, "me"), TSecretResult::NoKeyring);
  hl::SetKeyringAvailable(true);
  ASSERT_EQ(LoadSecret(url, "me", got), TSecretResult::Done);
  EXPECT_EQ(got, "new") << "kept while it was away";

  EXPECT_EQ(EraseSecret(url, "me"), TSecretResult::Done);
  EXPECT_EQ(EraseSecret(url, "me"), TSecretResult::NotFound);
  EXPECT_EQ(LoadSecret(url, "you", got), TSecretResult::Done) << "the other user's stays";
  hl::ResetDesktop();
  EXPECT_EQ(LoadSecret(url, "you", got), TSecretResult::NotFound) << "a reset empties it";
}

TEST_F(Secrets, SealedSecretsOpenAgainAndHideTheirText) {
  hl::SetSecretKeeper(TSecretKeeper::Sealing);
  EXPECT_EQ(SecretKeeper(), TSecretKeeper::Sealing);
  const std::string secret("pass\0word 秘密", 16);
  std::optional<std::string> sealed = SealSecret(secret);
  ASSERT_TRUE(sealed.has_value());
  EXPECT_EQ(sealed->find("pass"), std::string::npos);
  EXPECT_EQ(OpenSealedSecret(*sealed), secret);
  EXPECT_FALSE(OpenSealedSecret("pass").has_value()) << "not sealed";
  EXPECT_FALSE(OpenSealedSecret(sealed->substr(0, sealed->size() - 1)).has_value()) << "cut";
}

}  // namespace
