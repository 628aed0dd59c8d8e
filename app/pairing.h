// Pairing this device with an account of the service: the device asks the
// service for a code, its owner approves the code in a browser where they are
// signed in, and the device, asking again at the pace the service sets, gets
// a token of its own that may only add notes. The token replaces the ID and
// password for every note this device sends. Forgetting the pairing revokes
// the token on the service and drops it here.
//
// Nothing here waits: Begin and Poll are one request each, and the caller
// (the tray's timer, or `textsnap pair`) decides when the next poll goes.
#pragma once

#include <cstdint>
#include <string>

#include "app/serviceclient.h"

namespace ts {

inline constexpr const char* kPairingClientId = "textsnap";
inline constexpr const char* kPairingScope = "capture";

// The name this device gives itself on the service: its host name, printable
// and short enough ("text snap on NAME" is what its owner sees).
std::string DeviceName();

enum class TPairingState {
  psAsking,   // no code yet: Begin has not succeeded
  psWaiting,  // the code is out; poll again after PollDelayMs()
  psPaired,   // approved: Token() holds the device's token
  psDenied,   // the owner refused, or the account may hold no more tokens
  psExpired,  // the code ran out before anyone approved it
  psFailed,   // the service cannot pair (an answer not understood, a refusal)
  psStopped,  // given up here (the user cancelled, the program ends)
};

class TPairing {
public:
  TPairing(TServiceTransport& transport, std::string baseUrl) : transport_(transport), baseUrl_(std::move(baseUrl)) {}

  // Asks the service for a code. True when it gave one (psWaiting); false
  // with Reason() when it did not. Transport errors that are no answer
  // (unreachable, cut) raise.
  bool Begin(const std::string& deviceName = DeviceName());
  // Asks once whether the code was approved; the state after the answer.
  // Network failures between polls are tried again until the code expires.
  TPairingState Poll();
  // Ends the pairing on this side; a later Poll asks nothing.
  void Stop();

  TPairingState State() const { return state_; }
  // What the owner types or checks, shown as the service shows it (WDJB-MJHT).
  const std::string& UserCode() const { return userCode_; }
  // Where the owner approves: the page with the code filled in when the
  // service gives one, else the page that asks for it.
  const std::string& VerificationUrl() const { return verificationUrl_; }
  // How long to wait before the next Poll, as the service asks.
  uint32_t PollDelayMs() const { return intervalS_ * 1000u; }
  const std::string& Token() const { return token_; }
  // Why the pairing ended (or the last poll failed), for the user.
  const std::string& Reason() const { return reason_; }

private:
  TPairingState End(TPairingState state, std::string reason);

  TServiceTransport& transport_;
  std::string baseUrl_;
  TPairingState state_ = TPairingState::psAsking;
  std::string deviceCode_;
  std::string userCode_;
  std::string verificationUrl_;
  uint32_t intervalS_ = 5;
  uint32_t startTick_ = 0;
  uint32_t expiresMs_ = 0;
  std::string token_;
  std::string reason_;
};

// Revokes `token` on the service (DELETE api/v1/tokens/self). True when the
// service said it is gone, or knows it no longer; false with `why` when the
// service could not be asked (the token is then to be revoked on its page).
bool RevokeToken(TServiceTransport& transport, const std::string& baseUrl, const std::string& token, std::string& why);

}  // namespace ts
