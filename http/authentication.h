// Authentication schemes: an object per scheme that turns credentials (and the
// server's challenge) into the value of an "Authorization" header.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "http/headers.h"
#include "runtime/object.h"

namespace ts {

enum class TNetAuthWhatsNext { wnAskTheProgram, wnDoRequest, wnFail };

class TNetAuthentication;

// A scheme's class as the registry knows it: its name for messages and a way to
// make an object of it.
struct TNetAuthenticationClass {
  std::string ClassName;
  std::function<std::unique_ptr<TNetAuthentication>()> Create;
};

class TNetAuthentication : public TObject {
public:
  TNetAuthentication();
  ~TNetAuthentication() override;

  // What the client should do next with the challenge it holds.
  virtual TNetAuthWhatsNext Next() { return TNetAuthWhatsNext::wnFail; }
  virtual int Steps() const { return 0; }
  virtual void SetPassword(const std::string& value);
  virtual void SetUsername(const std::string& value);
  virtual void Reset() { Attempts = 0; }
  // The header value to send; empty when there is nothing to send.
  virtual std::string HeaderValue() = 0;
  virtual void DoNext() {}

  std::string Username() const;
  std::string Password() const;
  TNetHeaderList& Params() { return params_; }
  const TNetHeaderList& Params() const { return params_; }
  // The challenge lines of the response (one per line), kept as a copy.
  void SetChallenges(const TStringList& lines);
  TNetHeaderList& Challenges();
  // The first challenge line that begins with `scheme`, or empty.
  std::string ChallengeOf(std::string_view scheme);

  int CurrentStep = 0;
  int Attempts = 0;

private:
  std::string RawParam(std::string_view name) const;
  TNetHeaderList params_;
  std::unique_ptr<TNetHeaderList> challenges_;
};

class TNetBasicAuthentication : public TNetAuthentication {
public:
  TNetBasicAuthentication() = default;
  TNetBasicAuthentication(const std::string& username, const std::string& password);

  TNetAuthWhatsNext Next() override;
  int Steps() const override { return 1; }
  void Reset() override;
  std::string HeaderValue() override;

  std::string Realm;

  static const TNetAuthenticationClass* ClassInfo();
};

// The process-wide list of scheme names ("Basic" is there from the start);
// names compare case-insensitively. Registering a name twice raises
// ENetAlreadyRegisteredAuthenticationMethod.
void RegisterAuthenticationMethod(const std::string& name, const TNetAuthenticationClass* authClass);
void UnregisterAuthenticationMethod(const std::string& name);
const TNetAuthenticationClass* FindAuthenticationMethod(std::string_view name);

}  // namespace ts
