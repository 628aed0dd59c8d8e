// The secret guard: whether a text about to become a note holds something
// that must never leave the machine (a private key, an access token, a card
// number). Each kind is recognised by its shape alone, strictly enough that
// ordinary notes pass: long numbers, base64 blobs, the word "BEGIN", or code
// that names key variables are not secrets.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ts {

enum class TSecretKind {
  skPrivateKey,    // a PEM or OpenSSH private key block
  skAwsAccessKey,  // AKIA/ASIA and 16 upper-case letters or digits
  skGitHubToken,   // ghp_ gho_ ghu_ ghs_ ghr_ and 36 letters or digits; github_pat_ ...
  skSlackToken,    // xoxb- xoxp- xoxa- ... with its numbers
  skGoogleApiKey,  // AIza and 35 more
  skStripeKey,     // sk_live_ and at least 20 more
  skJsonWebToken,  // three base64url parts, the first a JSON header with "alg"
  skPaymentCard,   // 13 to 19 digits of a card network, Luhn-valid
};

struct TSecretFind {
  TSecretKind kind;
  size_t at;      // byte offset of the secret in the text
  size_t length;  // its bytes
};

// The first secret in the text, if any. Linear in the text's length.
std::optional<TSecretFind> FindSecret(std::string_view text);
// For the user: "a private key block", "a payment card number", ...
std::string SecretKindName(TSecretKind kind);

// Whether the digits (nothing else) pass the Luhn check.
bool LuhnValid(std::string_view digits);

}  // namespace ts
