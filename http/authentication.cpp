#include "http/authentication.h"

#include <mutex>
#include <utility>
#include <vector>

#include "http/exceptions.h"
#include "http/uri.h"
#include "runtime/text.h"

namespace ts {

namespace {

struct TSchemeRegistry {
  std::mutex lock;
  std::vector<std::pair<std::string, const TNetAuthenticationClass*>> entries{
      {"Basic", TNetBasicAuthentication::ClassInfo()}};
};

TSchemeRegistry& Registry() {
  static TSchemeRegistry registry;
  return registry;
}

}  // namespace

void RegisterAuthenticationMethod(const std::string& name, const TNetAuthenticationClass* authClass) {
  TSchemeRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.lock);
  for (const auto& entry : registry.entries)
    if (SameText(entry.first, name))
      throw ENetAlreadyRegisteredAuthenticationMethod(
          Format("This authentication method is already registered with class name %s.", {entry.second->ClassName}));
  registry.entries.emplace_back(name, authClass);
}

void UnregisterAuthenticationMethod(const std::string& name) {
  TSchemeRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.lock);
  for (auto it = registry.entries.begin(); it != registry.entries.end(); ++it)
    if (SameText(it->first, name)) {
      registry.entries.erase(it);
      return;
    }
}

const TNetAuthenticationClass* FindAuthenticationMethod(std::string_view name) {
  TSchemeRegistry& registry = Registry();
  std::lock_guard<std::mutex> guard(registry.lock);
  for (const auto& entry : registry.entries)
    if (SameText(entry.first, name)) return entry.second;
  return nullptr;
}

TNetAuthentication::TNetAuthentication() {
  // Credentials are kept exactly as given: no folding, no trimming on the way back.
  params_.FoldLines = false;
}

TNetAuthentication::~TNetAuthentication() = default;

void TNetAuthentication::SetPassword(const std::string& value) { params_.PutValue("Password", value); }
void TNetAuthentication::SetUsername(const std::string& value) { params_.PutValue("Username", value); }

std::string TNetAuthentication::RawParam(std::string_view name) const {
  int index = params_.FindName(name);
  if (index < 0) return std::string();
  const std::string& line = params_[index];
  size_t start = params_.NameOfLine(index).size() + params_.NameValueSeparator.size();
  return start <= line.size() ? line.substr(start) : std::string();
}

std::string TNetAuthentication::Username() const { return RawParam("username"); }
std::string TNetAuthentication::Password() const { return RawParam("password"); }

void TNetAuthentication::SetChallenges(const TStringList& lines) { Challenges().Assign(lines); }

TNetHeaderList& TNetAuthentication::Challenges() {
  if (!challenges_) challenges_ = std::make_unique<TNetHeaderList>();
  return *challenges_;
}

std::string TNetAuthentication::ChallengeOf(std::string_view scheme) {
  TNetHeaderList& lines = Challenges();
  for (int i = 0; i < lines.Count(); ++i)
    if (StartsText(scheme, lines[i])) return lines[i];
  return std::string();
}

TNetBasicAuthentication::TNetBasicAuthentication(const std::string& username, const std::string& password) {
  SetUsername(username);
  SetPassword(password);
}

TNetAuthWhatsNext TNetBasicAuthentication::Next() {
  std::string challenge = ChallengeOf("Basic");
  CutToken(challenge, " ");
  while (!challenge.empty()) {
    std::string item = CutToken(challenge, ", ");
    size_t eq = item.find('=');
    if (eq != std::string::npos) item.replace(eq, 1, ": ");
    Params().Add(item);
  }
  std::string realm = Params().ValueOf("realm");
  Realm = realm.size() >= 2 ? realm.substr(1, realm.size() - 2) : std::string();
  ++Attempts;
  return Username().empty() ? TNetAuthWhatsNext::wnAskTheProgram : TNetAuthWhatsNext::wnDoRequest;
}

void TNetBasicAuthentication::Reset() {
  TNetAuthentication::Reset();
  CurrentStep = 0;
}

const TNetAuthenticationClass* TNetBasicAuthentication::ClassInfo() {
  static const TNetAuthenticationClass info{"TNetBasicAuthentication",
                                            [] { return std::make_unique<TNetBasicAuthentication>(); }};
  return &info;
}

std::string TNetBasicAuthentication::HeaderValue() { return BasicCredentials(Username(), Password()); }

}  // namespace ts
