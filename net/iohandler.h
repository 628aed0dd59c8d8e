// A connection's transport end point: the socket handle with its local and
// remote address, the abstract I/O handler a buffered connection talks to, the
// plain-socket handler, and the connect with a time-out on a worker thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "net/component.h"
#include "net/socks.h"
#include "net/stack.h"
#include "runtime/collection.h"

namespace ts {

class TNetSocketHandle : public TCollectionItem {
public:
  explicit TNetSocketHandle(TCollection* collection = nullptr) : TCollectionItem(collection) {}
  ~TNetSocketHandle() override;

  std::string IP;  // local address to bind; after binding the one in use
  int Port = 0;    // local port to bind; after binding the one in use
  int ClientPortMin = 0;
  int ClientPortMax = 0;
  std::string RemoteIP;
  int RemotePort = 0;

  TNetSocket SocketId() const { return socketId_; }
  bool HasSocket() const { return hasSocket_.load(); }

  void OpenSocket(int type, int protocol);
  void ShutAndClose();
  // Bind to IP and Port, or to the highest free port of ClientPortMin..ClientPortMax.
  void BindLocal();
  int ConnectPeer(int family);
  void SetRemote(const std::string& ip, int port);
  void RefreshLocal();
  void RefreshRemote();
  int Receive(void* buffer, int length);
  int Transmit(const void* buffer, int length);
  void SetOption(int level, int option, const void* value, int length);
  bool WaitReadable(int timeout);
  void ResetState(bool resetLocal);

private:
  bool TryBind();  // false when the address is in use
  bool CheckReadable(int timeout);

  TNetSocket socketId_ = NetInvalidSocket;
  std::atomic<bool> hasSocket_{false};
};

class TNetIOHandler : public TNetComponent {
public:
  explicit TNetIOHandler(TComponent* owner) : TNetComponent(owner) {}

  bool Active = false;

  virtual void AcceptDone() {}
  virtual void Close() { Active = false; }
  virtual void ConnectTo(const std::string& host, int port, const std::string& boundIP, int boundPort, int boundPortLow,
                         int boundPortHigh, int timeout);
  virtual bool IsOpen() { return Active; }
  virtual void Open() { Active = true; }
  virtual bool WaitReadable(int timeout) = 0;
  virtual int Receive(void* buffer, int length) = 0;
  virtual int Transmit(const void* buffer, int length) = 0;
};

class TNetIOHandlerSocket : public TNetIOHandler {
public:
  explicit TNetIOHandlerSocket(TComponent* owner);
  ~TNetIOHandlerSocket() override;

  TNetSocketHandle* Binding() const { return binding_; }

  // Created with defaults on first read when none is assigned.
  TNetSocksInfo* SocksInfo();
  // An owned settings object is pointed at; one without an owner is copied.
  void SetSocksInfo(TNetSocksInfo* info);

  bool UseNagle() const { return useNagle_; }
  void SetUseNagle(bool value);

  void Close() override;
  void ConnectTo(const std::string& host, int port, const std::string& boundIP, int boundPort, int boundPortLow,
                 int boundPortHigh, int timeout) override;
  bool IsOpen() override;
  void Open() override;
  bool WaitReadable(int timeout) override;
  int Receive(void* buffer, int length) override;
  int Transmit(const void* buffer, int length) override;

protected:
  void Notification(TComponent* component, TOperation operation) override;

private:
  void ApplyNagle();
  void ConnectWithTimeout(int timeout);

  TNetSocketHandle* binding_ = nullptr;
  TNetSocksInfo* socksInfo_ = nullptr;
  bool ownsSocksInfo_ = false;
  bool useNagle_ = true;
};

// Connects a socket handle on its own thread, so the caller can give up.
class TNetConnectThread : public TObject {
public:
  explicit TNetConnectThread(TNetSocketHandle* binding) : Binding(binding) {}
  ~TNetConnectThread() override;

  TNetSocketHandle* Binding;  // not owned
  std::string FailureText;    // empty when the connect succeeded
  int32_t FailureCode = 0;    // the socket error number when there is one

  void Start();
  void Terminate() { terminateRequested_ = true; }
  bool Terminated() const { return terminated_.load(); }
  // Waits up to `milliseconds` for the thread to mark itself terminated;
  // returns at once when it does, so a quick connect costs no sleep step.
  bool WaitTerminated(uint32_t milliseconds);
  void WaitFor();

private:
  void Execute();

  std::thread thread_;
  std::mutex lock_;
  std::condition_variable done_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> terminateRequested_{false};
};

}  // namespace ts
