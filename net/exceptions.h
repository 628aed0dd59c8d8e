// Failures of the transport. Every one is an exception of its own class with a
// fixed message text; all derive from ENetException.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/exception.h"

namespace ts {

class ENetException : public Exception {
public:
  using Exception::Exception;
};

// An end the caller expects (a peer that closed), not a fault.
class ENetSilentException : public ENetException {
public:
  using ENetException::ENetException;
};

class ENetConnClosedGracefully : public ENetSilentException {
public:
  ENetConnClosedGracefully() : ENetSilentException("Connection Closed Gracefully.") {}
};

// A failure the socket library reported, with its error number.
class ENetSocketError : public ENetException {
public:
  ENetSocketError(int32_t errorCode, std::string message) : ENetException(std::move(message)), ErrorCode(errorCode) {}
  int32_t ErrorCode;
};

// The socket library could not be loaded, or one of its entries was called before
// it was loaded (or is missing from it).
class ENetWS2StubError : public ENetException {
public:
  ENetWS2StubError(std::string title, uint32_t systemError);
  std::string Title;
  uint32_t SystemError;
  std::string SystemErrorText;
};

class ENetStackError : public ENetException {
public:
  using ENetException::ENetException;
};
class ENetStackInitializationFailed : public ENetStackError {
public:
  ENetStackInitializationFailed() : ENetStackError("Winsock Initialization Error.") {}
};
class ENetStackSetSizeExceeded : public ENetStackError {
public:
  ENetStackSetSizeExceeded() : ENetStackError("Set Size Exceeded.") {}
};
class ENetInvalidIPAddress : public ENetStackError {
public:
  using ENetStackError::ENetStackError;
};
class ENetInvalidSocket : public ENetException {
public:
  ENetInvalidSocket() : ENetException("Cannot allocate socket.") {}
};
class ENetInvalidServiceName : public ENetException {
public:
  using ENetException::ENetException;
};

// A reply code of a line protocol that the caller did not allow.
class ENetProtocolReplyError : public ENetException {
public:
  ENetProtocolReplyError(int32_t replyCode, std::string message)
      : ENetException(std::move(message)), ReplyCode(replyCode) {}
  int32_t ReplyCode;
};

// Socket handle and connect.
class ENetSocketHandleError : public ENetException {
public:
  using ENetException::ENetException;
};
class ENetCouldNotBindSocket : public ENetSocketHandleError {
public:
  ENetCouldNotBindSocket() : ENetSocketHandleError("Could not bind socket. Address and port are already in use.") {}
};
class ENetCanNotBindPortInRange : public ENetSocketHandleError {
public:
  using ENetSocketHandleError::ENetSocketHandleError;
};
class ENetInvalidPortRange : public ENetSocketHandleError {
public:
  using ENetSocketHandleError::ENetSocketHandleError;
};
class ENetConnectTimeout : public ENetException {
public:
  ENetConnectTimeout() : ENetException("Connect timed out.") {}
};
class ENetConnectException : public ENetException {
public:
  using ENetException::ENetException;
};
class ENetClosedSocket : public ENetException {
public:
  ENetClosedSocket() : ENetException("Disconnected.") {}
};

// Buffered connection.
class ENetTCPConnectionError : public ENetException {
public:
  using ENetException::ENetException;
};
class ENetNotConnected : public ENetTCPConnectionError {
public:
  ENetNotConnected() : ENetTCPConnectionError("Not Connected") {}
};
class ENetNoDataToRead : public ENetTCPConnectionError {
public:
  ENetNoDataToRead() : ENetTCPConnectionError("No data to read.") {}
};
class ENetNotEnoughDataInBuffer : public ENetTCPConnectionError {
public:
  ENetNotEnoughDataInBuffer() : ENetTCPConnectionError("Not enough data in buffer.") {}
};
class ENetFileNotFound : public ENetTCPConnectionError {
public:
  using ENetTCPConnectionError::ENetTCPConnectionError;
};
class ENetIOHandlerPropInvalid : public ENetTCPConnectionError {
public:
  using ENetTCPConnectionError::ENetTCPConnectionError;
};
class ENetReadTimeout : public ENetException {
public:
  ENetReadTimeout() : ENetException("Read Timeout") {}
};
class ENetReadLnMaxLineLengthExceeded : public ENetException {
public:
  ENetReadLnMaxLineLengthExceeded() : ENetException("Max line length exceeded.") {}
};
class ENetAlreadyConnected : public ENetException {
public:
  ENetAlreadyConnected() : ENetException("Already connected.") {}
};

// Proxy negotiation.
class ENetSocksError : public ENetException {
public:
  using ENetException::ENetException;
};

}  // namespace ts
