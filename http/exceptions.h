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

// A redirect would take an exchange that went over TLS to a plain http
// address; it is not followed, whatever the method.
class ENetRedirectToPlain : public ENetException {
public:
  explicit ENetRedirectToPlain(const std::string& host)
      : ENetException("The server redirected the request to plain http://" + host +
                      "; it was not sent there unencrypted") {}
};

// A form would go again, after a redirect, to another site than the one it
// was sent to; it is not sent there.
class ENetRedirectToOtherOrigin : public ENetException {
public:
  explicit ENetRedirectToOtherOrigin(const std::string& origin)
      : ENetException("The server redirected the request to another site, " + origin +
                      "; its body was not sent there") {}
};

// The answer goes beyond what the client reads of one (its head's bytes or
// lines, or its body's bytes); the rest of it is left unread and the
// connection is closed. A transport failure, not the service's word: a
// server of the service never sends such an answer.
class ENetAnswerTooLarge : public ENetException {
public:
  explicit ENetAnswerTooLarge(const std::string& what)
      : ENetException("The server's answer was too large (" + what + ")") {}
};

// The connection ended before the answer was whole: a body shorter than its
// Content-Length, a head without its end, a secured connection closed without
// the session's own end where only the close marks the end of the body.
class ENetAnswerCut : public ENetException {
public:
  ENetAnswerCut() : ENetException("The server's answer was cut off: the connection ended before it was complete") {}
};

// The answer's framing cannot be read: a Content-Length that is not plain
// digits (or several that differ), a chunk size that is not hexadecimal.
class ENetAnswerMalformed : public ENetException {
public:
  explicit ENetAnswerMalformed(const std::string& what)
      : ENetException("The server's answer is malformed (" + what + ")") {}
};

class ENetAlreadyRegisteredAuthenticationMethod : public ENetException {
public:
  using ENetException::ENetException;
};

}  // namespace ts
