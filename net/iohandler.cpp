#include "net/iohandler.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"
#include "runtime/text.h"

namespace ts {

using namespace platform::winsock;

// ---- TNetSocketHandle ---------------------------------------------------------

TNetSocketHandle::~TNetSocketHandle() { ShutAndClose(); }

void TNetSocketHandle::OpenSocket(int type, int protocol) {
  ShutAndClose();
  socketId_ = SharedStack->NewSocket(type, protocol);
  hasSocket_ = true;
}

void TNetSocketHandle::ShutAndClose() {
  // The flag is taken atomically: a connect thread may be closing it too.
  if (!hasSocket_.exchange(false)) return;
  SharedStack->NetShutdown(socketId_, SD_SEND_);
  SharedStack->NetCloseSocket(socketId_);
}

bool TNetSocketHandle::TryBind() {
  if (SharedStack->CheckSocketResult(SharedStack->NetBind(socketId_, AF_INET_, IP, Port), {WSAEADDRINUSE_}))
    return false;
  RefreshLocal();
  return true;
}

void TNetSocketHandle::BindLocal() {
  if (Port != 0 || ClientPortMin == 0 || ClientPortMax == 0) {
    if (!TryBind()) throw ENetCouldNotBindSocket();
    return;
  }
  if (ClientPortMax < ClientPortMin)
    throw ENetInvalidPortRange(Format("Invalid Port Range (%d - %d)", {ClientPortMin, ClientPortMax}));
  for (int port = ClientPortMax; port >= ClientPortMin; --port) {
    Port = port;
    if (TryBind()) return;
  }
  throw ENetCanNotBindPortInRange(Format("Can not bind in port range (%d - %d)", {ClientPortMin, ClientPortMax}));
}

int TNetSocketHandle::ConnectPeer(int family) {
  int result = SharedStack->NetConnect(socketId_, family, RemoteIP, RemotePort);
  if (result != NetSocketError) {
    RefreshLocal();
    RefreshRemote();
  }
  return result;
}

void TNetSocketHandle::SetRemote(const std::string& ip, int port) {
  RemoteIP = ip;
  RemotePort = port;
}

void TNetSocketHandle::RefreshLocal() {
  int family;
  SharedStack->NetSockName(socketId_, family, IP, Port);
}

void TNetSocketHandle::RefreshRemote() {
  int family;
  SharedStack->NetPeerName(socketId_, family, RemoteIP, RemotePort);
}

int TNetSocketHandle::Receive(void* buffer, int length) { return SharedStack->NetRecv(socketId_, buffer, length, 0); }

int TNetSocketHandle::Transmit(const void* buffer, int length) {
  return SharedStack->NetSend(socketId_, buffer, length, 0);
}

void TNetSocketHandle::SetOption(int level, int option, const void* value, int length) {
  SharedStack->CheckSocketResult(SharedStack->NetSetSockOpt(socketId_, level, option, value, length));
}

bool TNetSocketHandle::CheckReadable(int timeout) {
  if (!HasSocket()) throw ENetConnClosedGracefully();
  TNetSocketVector readList{socketId_};
  bool readable = SharedStack->NetSelect(&readList, nullptr, timeout, nullptr) == 1;
  TNetAntiFreezeBase::Pump(!readable);
  return readable;
}

bool TNetSocketHandle::WaitReadable(int timeout) {
  if (!TNetAntiFreezeBase::InUse()) return CheckReadable(timeout);
  const int idle = std::max(1, CurrentAntiFreeze->IdleTimeOut);
  if (timeout == NetTimeoutInfinite) {
    while (!CheckReadable(idle)) {
    }
    return true;
  }
  // A limited wait is cut into slices as well, so the messages get through
  // all along and not only at its end; the slices add up to the limit.
  int left = timeout;
  while (left > idle) {
    if (CheckReadable(idle)) return true;
    left -= idle;
  }
  return CheckReadable(left);
}

void TNetSocketHandle::ResetState(bool resetLocal) {
  hasSocket_ = false;
  socketId_ = NetInvalidSocket;
  RemoteIP.clear();
  RemotePort = 0;
  if (resetLocal) {
    IP.clear();
    Port = 0;
  }
}

// ---- TNetIOHandler ------------------------------------------------------------

void TNetIOHandler::ConnectTo(const std::string&, int, const std::string&, int, int, int, int) {}

// ---- TNetIOHandlerSocket ------------------------------------------------------

TNetIOHandlerSocket::TNetIOHandlerSocket(TComponent* owner) : TNetIOHandler(owner) {}

TNetIOHandlerSocket::~TNetIOHandlerSocket() {
  delete binding_;
  binding_ = nullptr;
  if (ownsSocksInfo_) delete socksInfo_;
  socksInfo_ = nullptr;
}

TNetSocksInfo* TNetIOHandlerSocket::SocksInfo() {
  if (!socksInfo_) {
    socksInfo_ = new TNetSocksInfo(nullptr);
    ownsSocksInfo_ = true;
  }
  return socksInfo_;
}

void TNetIOHandlerSocket::SetSocksInfo(TNetSocksInfo* info) {
  if (info == socksInfo_) return;
  if (info && info->Owner()) {
    if (ownsSocksInfo_)
      delete socksInfo_;
    else if (socksInfo_)
      RemoveFreeNotification(socksInfo_);
    socksInfo_ = info;
    ownsSocksInfo_ = false;
    FreeNotification(info);
  } else if (info) {
    SocksInfo()->Assign(*info);
  } else {
    if (ownsSocksInfo_)
      delete socksInfo_;
    else if (socksInfo_)
      RemoveFreeNotification(socksInfo_);
    socksInfo_ = nullptr;
    ownsSocksInfo_ = false;
  }
}

void TNetIOHandlerSocket::Notification(TComponent* component, TOperation operation) {
  TNetIOHandler::Notification(component, operation);
  if (operation == TOperation::opRemove && component == socksInfo_ && !ownsSocksInfo_) socksInfo_ = nullptr;
}

void TNetIOHandlerSocket::SetUseNagle(bool value) {
  if (value == useNagle_) return;
  useNagle_ = value;
  if (IsOpen()) ApplyNagle();
}

void TNetIOHandlerSocket::ApplyNagle() {
  int32_t value = useNagle_ ? 0 : 1;
  binding_->SetOption(IPPROTO_TCP_, TCP_NODELAY_, &value, sizeof value);
}

void TNetIOHandlerSocket::Open() {
  TNetIOHandler::Open();
  if (binding_)
    binding_->ResetState(true);
  else
    binding_ = new TNetSocketHandle(nullptr);
}

void TNetIOHandlerSocket::Close() {
  TNetIOHandler::Close();
  if (binding_) binding_->ShutAndClose();
}

bool TNetIOHandlerSocket::IsOpen() { return binding_ && binding_->HasSocket(); }

bool TNetIOHandlerSocket::WaitReadable(int timeout) {
  if (!binding_) throw ENetConnClosedGracefully();
  return binding_->WaitReadable(timeout);
}

int TNetIOHandlerSocket::Receive(void* buffer, int length) {
  if (!IsOpen()) throw ENetClosedSocket();
  return binding_->Receive(buffer, length);
}

int TNetIOHandlerSocket::Transmit(const void* buffer, int length) {
  if (!IsOpen()) throw ENetClosedSocket();
  return binding_->Transmit(buffer, length);
}

void TNetIOHandlerSocket::ConnectTo(const std::string& host, int port, const std::string& boundIP, int boundPort,
                                    int boundPortLow, int boundPortHigh, int timeout) {
  // Open normally made the binding; a handler connected without it gets one here.
  if (!binding_) binding_ = new TNetSocketHandle(nullptr);
  std::string targetHost = host;
  int targetPort = port;
  TNetSocksInfo* socks = SocksInfo();
  if (socks->Version != TSocksVersion::svNoSocks) {
    targetHost = socks->Host;
    targetPort = socks->Port;
  }
  binding_->OpenSocket(SOCK_STREAM_, 0);
  binding_->IP = boundIP;
  binding_->Port = boundPort;
  binding_->ClientPortMin = boundPortLow;
  binding_->ClientPortMax = boundPortHigh;
  binding_->BindLocal();
  if (!SharedStack->IsIPAddress(targetHost)) ReportStatus(TNetStatus::StatusResolving, {targetHost});
  binding_->SetRemote(SharedStack->ResolveHostAddress(targetHost), targetPort);
  ApplyNagle();
  ReportStatus(TNetStatus::StatusConnecting, {binding_->RemoteIP});
  if (timeout != NetTimeoutDefault && timeout != 0)
    ConnectWithTimeout(timeout);
  else if (TNetAntiFreezeBase::InUse())
    ConnectWithTimeout(120000);
  else
    SharedStack->CheckSocketResult(binding_->ConnectPeer(AF_INET_));
  socks->NegotiateProxy(*this, host, port);
}

void TNetIOHandlerSocket::ConnectWithTimeout(int timeout) {
  auto thread = std::make_unique<TNetConnectThread>(binding_);
  thread->Start();
  int step = 125;
  if (TNetAntiFreezeBase::InUse()) step = std::min(step, CurrentAntiFreeze->IdleTimeOut);
  const bool unlimited = timeout == NetTimeoutInfinite;
  int remaining = unlimited ? step + 1 : timeout;
  // Each sleep ends early when the connect is done.
  while (remaining > step) {
    thread->WaitTerminated(static_cast<uint32_t>(step));
    remaining = unlimited ? step + 1 : remaining - step;
    try {
      TNetAntiFreezeBase::Pump(true);
    } catch (...) {
      // The messages ended the wait (the program is ending): the pending
      // connect is cut as on a time-out, so the thread ends now.
      thread->Terminate();
      Close();
      thread->WaitFor();
      throw;
    }
    if (thread->Terminated()) {
      remaining = 0;
      break;
    }
  }
  if (remaining > 0) thread->WaitTerminated(static_cast<uint32_t>(remaining));
  if (thread->Terminated()) {
    thread->WaitFor();
    if (!thread->FailureText.empty()) {
      if (thread->FailureCode != 0) throw ENetSocketError(thread->FailureCode, thread->FailureText);
      throw ENetConnectException(thread->FailureText);
    }
    return;
  }
  thread->Terminate();
  // Closing the socket makes the pending connect fail inside the thread.
  Close();
  thread->WaitFor();
  throw ENetConnectTimeout();
}

// ---- TNetConnectThread --------------------------------------------------------

TNetConnectThread::~TNetConnectThread() { WaitFor(); }

void TNetConnectThread::Start() {
  thread_ = std::thread([this] { Execute(); });
}

void TNetConnectThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void TNetConnectThread::Execute() {
  try {
    SharedStack->CheckSocketResult(Binding->ConnectPeer(AF_INET_), {WSAEBADF_, WSAENOTSOCK_});
  } catch (const ENetSocketError& e) {
    FailureText = e.Message();
    FailureCode = e.ErrorCode;
  } catch (const std::exception& e) {
    FailureText = e.what();
  } catch (...) {
    FailureText = "Connect failed.";
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    terminated_ = true;
  }
  done_.notify_all();
}

bool TNetConnectThread::WaitTerminated(uint32_t milliseconds) {
  std::unique_lock<std::mutex> hold(lock_);
  return done_.wait_for(hold, std::chrono::milliseconds(milliseconds), [this] { return terminated_.load(); });
}

}  // namespace ts
