#include "app/pairing.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "http/exceptions.h"
#include "http/json.h"
#include "net/exceptions.h"
#include "net/stack.h"
#include "platform/clock.h"
#include "runtime/strings.h"
#include "runtime/text.h"

namespace ts {

namespace {

constexpr const char* kDeviceGrantType = "urn:ietf:params:oauth:grant-type:device_code";
constexpr size_t kMostNameBytes = 64;
// The service may ask for any pace; a poll never goes sooner than this, nor
// later than a minute apart.
constexpr uint32_t kLeastIntervalS = 1;
constexpr uint32_t kMostIntervalS = 60;

using TMembers = std::map<std::string, std::string>;

std::string Member(const TMembers& members, const std::string& name) {
  auto found = members.find(name);
  return found == members.end() ? std::string() : found->second;
}

// A whole number of seconds from an answer; `fallback` when it is none.
uint32_t Seconds(const TMembers& members, const std::string& name, uint32_t fallback, uint32_t most) {
  int32_t value = 0;
  if (!TryStrToInt(Member(members, name), value) || value <= 0) return fallback;
  return std::min(static_cast<uint32_t>(value), most);
}

// The service's own words for a refusal, or its status line.
std::string RefusalText(const ENetHTTPProtocolException& e, const TMembers& members) {
  std::string said = Member(members, "error_description");
  if (said.empty()) said = Member(members, "error");
  if (said.empty()) said = e.Message();
  return said;
}

}  // namespace

std::string DeviceName() {
  std::string host;
  {
    std::lock_guard<std::recursive_mutex> hold(SharedStackLock);
    if (SharedStack) host = SharedStack->NetHostName();
  }
  std::string name;
  for (char c : host)
    if (c > ' ' && c < 0x7F && name.size() < kMostNameBytes) name += c;
  return name;
}

TPairingState TPairing::End(TPairingState state, std::string reason) {
  state_ = state;
  reason_ = std::move(reason);
  if (state != TPairingState::psPaired) deviceCode_.clear();
  return state_;
}

bool TPairing::Begin(const std::string& deviceName) {
  TStringList lines;
  lines.Add(std::string("client_id=") + kPairingClientId);
  lines.Add(std::string("scope=") + kPairingScope);
  if (!deviceName.empty()) lines.Add("device_name=" + deviceName);
  std::string answer;
  try {
    answer = transport_.PostForm(baseUrl_ + "/oauth/device", lines);
  } catch (const ENetHTTPProtocolException& e) {
    TMembers members;
    ParseJsonMembers(e.ErrorMessage, members);
    if (members.empty() && e.ReplyCode == 404) {
      End(TPairingState::psFailed, "this service does not pair devices (use the ID and password)");
      return false;
    }
    End(TPairingState::psFailed, "the service cannot pair now: " + RefusalText(e, members));
    return false;
  }
  TMembers members;
  if (!ParseJsonMembers(answer, members) || Member(members, "device_code").empty() ||
      Member(members, "user_code").empty() || Member(members, "verification_uri").empty()) {
    End(TPairingState::psFailed, "the service's answer to the pairing was not understood");
    return false;
  }
  deviceCode_ = Member(members, "device_code");
  userCode_ = Member(members, "user_code");
  verificationUrl_ = Member(members, "verification_uri_complete");
  if (verificationUrl_.empty()) verificationUrl_ = Member(members, "verification_uri");
  intervalS_ = std::max(Seconds(members, "interval", 5, kMostIntervalS), kLeastIntervalS);
  // The code's life as the service gives it; 10 minutes when it does not say.
  expiresMs_ = Seconds(members, "expires_in", 600, 24 * 3600) * 1000u;
  startTick_ = platform::GetTickCount();
  token_.clear();
  reason_.clear();
  state_ = TPairingState::psWaiting;
  return true;
}

void TPairing::Stop() {
  if (state_ == TPairingState::psWaiting || state_ == TPairingState::psAsking)
    End(TPairingState::psStopped, "pairing cancelled");
}

TPairingState TPairing::Poll() {
  if (state_ != TPairingState::psWaiting) return state_;
  if (platform::GetTickCount() - startTick_ >= expiresMs_)
    return End(TPairingState::psExpired, "the code expired before it was approved; pair again");
  TStringList lines;
  lines.Add(std::string("grant_type=") + kDeviceGrantType);
  lines.Add("device_code=" + deviceCode_);
  lines.Add(std::string("client_id=") + kPairingClientId);
  std::string answer;
  try {
    answer = transport_.PostForm(baseUrl_ + "/oauth/token", lines);
  } catch (const ENetHTTPProtocolException& e) {
    TMembers members;
    ParseJsonMembers(e.ErrorMessage, members);
    const std::string error = Member(members, "error");
    if (error == "authorization_pending") return state_;
    if (error == "slow_down") {
      // Polled too soon: the pace the service names, at least five seconds more.
      intervalS_ = std::min(std::max(intervalS_ + 5, Seconds(members, "interval", 0, kMostIntervalS)), kMostIntervalS);
      return state_;
    }
    if (error == "access_denied") return End(TPairingState::psDenied, "not paired: " + RefusalText(e, members));
    if (error == "expired_token")
      return End(TPairingState::psExpired, "the code expired before it was approved; pair again");
    // A service that is overloaded or restarting answers again later.
    if (e.ReplyCode >= 500) {
      reason_ = e.Message();
      return state_;
    }
    return End(TPairingState::psFailed, "the service refused the pairing: " + RefusalText(e, members));
  } catch (const ENetException& e) {
    // No answer this time (the network, the service away): the next poll may
    // get one, until the code expires.
    reason_ = e.Message();
    return state_;
  }
  TMembers members;
  if (!ParseJsonMembers(answer, members) || Member(members, "access_token").empty())
    return End(TPairingState::psFailed, "the service's answer to the pairing was not understood");
  token_ = Member(members, "access_token");
  return End(TPairingState::psPaired, "");
}

bool RevokeToken(TServiceTransport& transport, const std::string& baseUrl, const std::string& token, std::string& why) {
  try {
    transport.Delete(baseUrl + "/api/v1/tokens/self", token);
    return true;
  } catch (const ENetProtocolReplyError& e) {
    // Revoked already, on the service's page: nothing is left to revoke.
    if (e.ReplyCode == 401) return true;
    why = e.Message();
  } catch (const ENetException& e) {
    why = e.Message();
  }
  return false;
}

}  // namespace ts
