// Exceptions of the HTTP layer. Every transport and HTTP failure derives from
// the transport's ENetException, a message text and nothing more.
#pragma once

#include <cstdint>
#include <string>

#include "net/exceptions.h"

namespace ts {

// A URI that cannot be composed (protocol or host missing).
class ENetURIException : public ENetException {
public:
  using ENetException::ENetException;
};

// The operating system could not tell the local time zone.
class ENetFailedToRetreiveTimeZoneInfo : public ENetException {
public:
  ENetFailedToRetreiveTimeZoneInfo() : ENetException("Failed attempting to retrieve time zone information.") {}
};

// A target whose protocol gives no port to connect to.
class ENetUnknownProtocol : public ENetException {
public:
  ENetUnknownProtocol() : ENetException(std::string()) {}
};

// A server answer the exchange cannot go on from: the status code, the status
// line as the server sent it (the message) and the body of the answer.
class ENetHTTPProtocolException : public ENetProtocolReplyError {
public:
  ENetHTTPProtocolException(int32_t code, std::string statusLine, std::string errorMessage)
      : ENetProtocolReplyError(code, std::move(statusLine)), ErrorMessage(std::move(errorMessage)) {}
  std::string ErrorMessage;
};

// A redirect would take a request body that was sent over TLS to a plain
// http address; it is not followed.
class ENetRedirectToPlain : public ENetException {
public:
  explicit ENetRedirectToPlain(const std::string& host)
      : ENetException("The server redirected the request to plain http://" + host +
                      "; it was not sent there unencrypted") {}
};

class ENetAlreadyRegisteredAuthenticationMethod : public ENetException {
public:
  using ENetException::ENetException;
};

}  // namespace ts
