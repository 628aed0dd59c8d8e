// The buffered byte-stream connection and the TCP client built on it: line,
// count and stream reads over an input buffer, writes with optional buffering,
// detection of a peer's close, and an orderly disconnect that fires
// OnDisconnected once.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "net/buffer.h"
#include "net/component.h"
#include "net/iohandler.h"
#include "runtime/strings.h"

namespace ts {

class TNetTCPConnection;

enum class TNetMaxLineAction { maException, maSplit };

using TNetInterceptNotifyEvent = std::function<void(TObject* sender)>;
using TNetInterceptStreamEvent = std::function<void(TObject* sender, TStream& stream)>;

// A filter on the bytes of a connection; intercepts can be chained.
class TNetConnectionIntercept : public TNetBaseComponent {
public:
  explicit TNetConnectionIntercept(TComponent* owner) : TNetBaseComponent(owner) {}

  TNetInterceptNotifyEvent OnConnect;
  TNetInterceptNotifyEvent OnDisconnect;
  TNetInterceptStreamEvent OnReceive;
  TNetInterceptStreamEvent OnSend;

  TNetConnectionIntercept* Intercept() const { return intercept_; }
  void SetIntercept(TNetConnectionIntercept* next);
  TNetTCPConnection* Connection() const { return connection_; }

  virtual void Connect(TNetTCPConnection* connection);
  virtual void Disconnect();
  // Filter received / outgoing bytes in place; the stream is left rewound.
  virtual void Receive(TStream& buffer);
  virtual void Send(TStream& buffer);

protected:
  void Notification(TComponent* component, TOperation operation) override;

private:
  TNetConnectionIntercept* intercept_ = nullptr;
  TNetTCPConnection* connection_ = nullptr;
};

// A reply of a line protocol: a three-digit code and text lines.
class TNetRFCReply : public TObject {
public:
  int NumericCode = 0;
  TStringList Text;
  std::string TextCode;

  void Clear();
};

class TNetTCPConnection : public TNetComponent {
public:
  explicit TNetTCPConnection(TComponent* owner);
  ~TNetTCPConnection() override;

  bool ASCIIFilter = false;
  int32_t MaxLineLength = 16384;  // 0 means no limit
  TNetMaxLineAction MaxLineAction = TNetMaxLineAction::maException;
  int32_t ReadTimeout = 0;  // ms; 0 waits without limit
  int32_t RecvBufferSize = 32768;
  int32_t SendBufferSize = 32768;
  TNotifyEvent OnDisconnected;

  TNetConnectionIntercept* Intercept() const { return intercept_; }
  void SetIntercept(TNetConnectionIntercept* intercept);
  TNetIOHandler* IOHandler() const { return ioHandler_; }
  void SetIOHandler(TNetIOHandler* handler);
  TNetIOHandlerSocket* SocketHandler() const { return socketHandler_; }
  bool OwnsIOHandler() const { return ownsIOHandler_; }

  TNetManagedBuffer& InputBuffer() { return *inputBuffer_; }
  bool PeerClosed() const { return peerClosed_; }
  bool LineWasSplit() const { return lineWasSplit_; }
  bool LineTimedOut() const { return lineTimedOut_; }
  TNetSimpleBuffer* WriteBuffer() const { return writeBuffer_.get(); }
  int32_t WriteBufferThreshold() const { return writeBufferThreshold_; }
  TNetRFCReply& Greeting() { return *greeting_; }
  TNetRFCReply& LastReply() { return *lastReply_; }

  // Reading. Time-outs in ms, or NetTimeoutDefault (ReadTimeout) or NetTimeoutInfinite.
  // FillInputBuffer answers -1 for a time-out it does not raise.
  virtual int FillInputBuffer(bool raiseIfDisconnected = true, int timeout = NetTimeoutDefault,
                              bool raiseOnTimeout = true);
  virtual int ProbeDisconnect(bool raiseIfDisconnected = true);
  virtual std::string ReadLine(const std::string& terminator = "\n", int timeout = NetTimeoutDefault,
                               int maxLength = -1);
  std::string ReadNonEmptyLine(int attempts = 2147483647);
  void ReadBytes(void* buffer, int64_t count);
  int32_t ReadInt32(bool convert = true);
  // byteCount -1 without untilClose reads a 4-byte big-endian length first.
  void ReadToStream(TStream& stream, int64_t byteCount = -1, bool untilClose = false);
  virtual std::string ReadAll();
  std::string TakeInputBuffer();

  // Writing.
  virtual void WriteText(const std::string& text);
  virtual void WriteLine(const std::string& text);
  void WriteBytes(const void* buffer, int64_t count, bool sendNow = false);
  void WriteInt32(int32_t value, bool convert = true);
  virtual void WriteFromStream(TStream& stream, bool fromStart = true, bool sendSizeFirst = false, int64_t count = 0);
  virtual int64_t WriteFileContents(const std::string& fileName, bool allowTransmit = false);
  void StartWriteBuffering(int32_t threshold = -1);
  void FlushWriteBuffering(int64_t count = -1);
  void FinishWriteBuffering();
  void DiscardWriteBuffering();

  // State.
  virtual bool IsConnected();
  virtual void Disconnect();
  virtual void DropSocket();
  // True when disconnected; raises ENetConnClosedGracefully when asked to and
  // nothing (or, with ignoreBuffer, regardless of what) is left to read.
  virtual bool CheckDisconnected(bool raiseIfDisconnected = true, bool ignoreBuffer = false);
  virtual void ResetInput();

  // Reply exchange of line protocols.
  virtual int SendCommand(const std::string& command, std::initializer_list<int> allowedReplies = {});
  virtual int ReadReply(std::initializer_list<int> allowedReplies = {});
  virtual int CheckReply(std::initializer_list<int> allowedReplies);
  virtual void RaiseReplyError();
  // Raise the last reply as a protocol's own reply error class E(code, text).
  template <class E>
  [[noreturn]] void RaiseReplyErrorAs() {
    throw E(LastReply().NumericCode, ReplyText());
  }
  // The last reply's text lines joined with line breaks.
  std::string ReplyText();

protected:
  virtual void DoOnDisconnected();
  void Notification(TComponent* component, TOperation operation) override;
  void ReleaseIOHandler();
  void SetOwnsIOHandler(bool value) { ownsIOHandler_ = value; }

private:
  void ReadReplyLines();
  int ReceiveInto(uint8_t* target, int capacity, bool holding, bool raiseIfDisconnected, int timeout,
                  bool raiseOnTimeout);
  void ReadChunksThroughBuffer(TStream& stream, int64_t& remaining, bool untilClose);
  void ReadChunksDirect(TStream& stream, int64_t& remaining, bool untilClose);
  // Drops the socket after a send or receive error and reports the loss.
  void DropAfterError();

  TNetConnectionIntercept* intercept_ = nullptr;
  TNetIOHandler* ioHandler_ = nullptr;
  TNetIOHandlerSocket* socketHandler_ = nullptr;
  bool ownsIOHandler_ = false;
  std::unique_ptr<TNetManagedBuffer> inputBuffer_;
  std::unique_ptr<TNetSimpleBuffer> receiveChunk_;
  std::unique_ptr<TNetSimpleBuffer> writeBuffer_;
  int32_t writeBufferThreshold_ = 0;
  bool peerClosed_ = false;
  bool lineWasSplit_ = false;
  bool lineTimedOut_ = false;
  std::unique_ptr<TNetRFCReply> greeting_;
  std::unique_ptr<TNetRFCReply> lastReply_;
};

class TNetTCPClient : public TNetTCPConnection {
public:
  explicit TNetTCPClient(TComponent* owner) : TNetTCPConnection(owner) {}

  std::string BoundIP;
  int BoundPort = 0;
  int BoundPortLow = 0;
  int BoundPortHigh = 0;
  TNotifyEvent OnConnected;

  const std::string& Host() const { return host_; }
  virtual void SetHost(const std::string& host) { host_ = host; }
  int Port() const { return port_; }
  virtual void SetPort(int port) { port_ = port; }

  // Connect to Host:Port. Time-out in ms: 0 or NetTimeoutDefault connects
  // directly and blocks; other values connect on a worker thread and give up
  // with ENetConnectTimeout (NetTimeoutInfinite waits without limit).
  virtual void Connect(int timeout = NetTimeoutDefault);
  virtual std::string ConnectAndReadAll();

protected:
  virtual void DoOnConnected();

private:
  std::string host_;
  int port_ = 0;
};

}  // namespace ts
