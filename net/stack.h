// The process-wide socket stack: every socket call of the transport goes through
// SharedStack, which turns the library's error numbers into exceptions.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/exceptions.h"
#include "net/winsock.h"
#include "runtime/object.h"
#include "runtime/strings.h"

namespace ts {

using TNetSocket = platform::winsock::TSocket;
constexpr TNetSocket NetInvalidSocket = platform::winsock::INVALID_SOCKET_;
constexpr int NetSocketError = platform::winsock::SOCKET_ERROR_;

enum class TIPForm { IPFormInvalid, IPFormNumeric, IPFormDotted };
enum class TIPClass { IPClassUnknown, IPClassA, IPClassB, IPClassC, IPClassD, IPClassE };

using TIPOctets = std::array<uint8_t, 4>;

// A list of handles handed to NetSelect and refilled with the ready ones.
using TNetSocketVector = std::vector<TNetSocket>;

class TNetStack : public TObject {
public:
  TNetStack() = default;
  ~TNetStack() override;

  int32_t LastSocketError = 0;

  // Local addresses (dotted text) of this host; the list belongs to the stack.
  virtual void FillLocalAddresses() = 0;
  virtual std::string FirstLocalAddress();
  virtual TStringList& LocalAddressList();

  // Raw operations return the library's result unchecked; the caller checks.
  virtual TNetSocket NetAccept(TNetSocket listener, std::string& peerIP, int& peerPort) = 0;
  virtual int NetBind(TNetSocket socket, int family, const std::string& ip, int port) = 0;
  virtual int NetCloseSocket(TNetSocket socket) = 0;
  virtual int NetConnect(TNetSocket socket, int family, const std::string& ip, int port) = 0;
  virtual std::string NetHostByName(const std::string& hostName) = 0;
  virtual std::string NetHostName() = 0;
  virtual std::string NetHostByAddr(const std::string& address) = 0;
  virtual int NetServiceByName(const std::string& serviceName) = 0;
  virtual TStringList* NetServiceNamesByPort(int port) = 0;  // caller owns the list
  virtual uint16_t NetHostToNetShort(uint16_t value) = 0;
  virtual int NetListen(TNetSocket socket, int backlog) = 0;
  virtual uint16_t NetNetToHostShort(uint16_t value) = 0;
  virtual uint32_t NetHostToNetLong(uint32_t value) = 0;
  virtual uint32_t NetNetToHostLong(uint32_t value) = 0;
  virtual int NetRecv(TNetSocket socket, void* buffer, int length, int flags) = 0;
  virtual int NetRecvFrom(TNetSocket socket, void* buffer, int length, int flags, std::string& ip, int& port) = 0;
  // Wait until a handle of the lists is ready. A list may be null; each given list
  // is refilled with its ready handles. Time-out in ms, -2 waits without limit.
  // Returns the number of ready handles, 0 on time-out, -1 on failure.
  virtual int NetSelect(TNetSocketVector* readList, TNetSocketVector* writeList, int timeout,
                        TNetSocketVector* errorList) = 0;
  virtual int NetSend(TNetSocket socket, const void* buffer, int length, int flags) = 0;
  virtual int NetSendTo(TNetSocket socket, const void* buffer, int length, int flags, const std::string& ip,
                        int port) = 0;
  virtual int NetSetSockOpt(TNetSocket socket, int level, int option, const void* value, int length) = 0;
  virtual TNetSocket NetSocket(int family, int type, int protocol) = 0;
  virtual int NetShutdown(TNetSocket socket, int how) = 0;
  virtual std::string NetErrorText(int errorNumber);
  virtual int NetLastError() = 0;
  virtual void NetPeerName(TNetSocket socket, int& family, std::string& ip, int& port) = 0;
  virtual void NetSockName(TNetSocket socket, int& family, std::string& ip, int& port) = 0;
  virtual int NetGetSockOpt(TNetSocket socket, int level, int option, void* value, int* length) = 0;
  virtual std::string AddressToText(const TIPOctets& address);
  virtual void TextToAddress(const std::string& text, TIPOctets& address);

  // True when `result` is SOCKET_ERROR and the error is one of `ignoreList`;
  // false when it is not an error; raises ENetSocketError for any other error.
  bool CheckSocketResult(int result, std::initializer_list<int> ignoreList = {});
  [[noreturn]] void RaiseSocketFailure(int errorNumber);
  TNetSocket NewSocket(int type, int protocol);
  std::string ResolveHostAddress(const std::string& host);
  bool IsIPAddress(const std::string& text);
  static bool ParseIPAddress(const std::string& text, TIPOctets& octets, TIPForm& form, TIPClass& ipClass);
  uint32_t TextToInAddr(const std::string& text);  // network order, as the bytes lie in memory

protected:
  std::unique_ptr<TStringList> localAddresses_;
};

class TNetStackWindows : public TNetStack {
public:
  TNetStackWindows();

  void FillLocalAddresses() override;
  TNetSocket NetAccept(TNetSocket listener, std::string& peerIP, int& peerPort) override;
  int NetBind(TNetSocket socket, int family, const std::string& ip, int port) override;
  int NetCloseSocket(TNetSocket socket) override;
  int NetConnect(TNetSocket socket, int family, const std::string& ip, int port) override;
  std::string NetHostByName(const std::string& hostName) override;
  std::string NetHostName() override;
  std::string NetHostByAddr(const std::string& address) override;
  int NetServiceByName(const std::string& serviceName) override;
  TStringList* NetServiceNamesByPort(int port) override;
  uint16_t NetHostToNetShort(uint16_t value) override;
  int NetListen(TNetSocket socket, int backlog) override;
  uint16_t NetNetToHostShort(uint16_t value) override;
  uint32_t NetHostToNetLong(uint32_t value) override;
  uint32_t NetNetToHostLong(uint32_t value) override;
  int NetRecv(TNetSocket socket, void* buffer, int length, int flags) override;
  int NetRecvFrom(TNetSocket socket, void* buffer, int length, int flags, std::string& ip, int& port) override;
  int NetSelect(TNetSocketVector* readList, TNetSocketVector* writeList, int timeout,
                TNetSocketVector* errorList) override;
  int NetSend(TNetSocket socket, const void* buffer, int length, int flags) override;
  int NetSendTo(TNetSocket socket, const void* buffer, int length, int flags, const std::string& ip, int port) override;
  int NetSetSockOpt(TNetSocket socket, int level, int option, const void* value, int length) override;
  TNetSocket NetSocket(int family, int type, int protocol) override;
  int NetShutdown(TNetSocket socket, int how) override;
  std::string NetErrorText(int errorNumber) override;
  int NetLastError() override;
  void NetPeerName(TNetSocket socket, int& family, std::string& ip, int& port) override;
  void NetSockName(TNetSocket socket, int& family, std::string& ip, int& port) override;
  int NetGetSockOpt(TNetSocket socket, int level, int option, void* value, int* length) override;
};

// A handle set shaped like the library's select set: a count and 64 handles.
class TNetSocketList : public TObject {
public:
  virtual void Add(TNetSocket handle) = 0;
  virtual int Count() const = 0;
  virtual TNetSocket Items(int index) const = 0;
  virtual void Remove(TNetSocket handle) = 0;
};

class TNetSocketListWindows : public TNetSocketList {
public:
  TNetSocketListWindows() { set_.fd_count = 0; }
  void Add(TNetSocket handle) override;  // a 65th raises ENetStackSetSizeExceeded
  int Count() const override { return static_cast<int>(set_.fd_count); }
  TNetSocket Items(int index) const override;
  // Removes the handle; the last handle moves into its slot.
  void Remove(TNetSocket handle) override;

private:
  platform::winsock::TFDSet set_;
};

// Process-wide state of the stack.
extern TNetStack* SharedStack;
extern std::recursive_mutex SharedStackLock;
extern int StackUserCount;
extern std::atomic<bool> WinsockStarted;

// Sends a whole file over a socket; returns the size sent, 0 on failure, or -1
// when the system cannot send files this way (the caller then sends it itself).
using TSendFileHook = std::function<int64_t(TNetSocket socket, const std::string& fileName)>;
extern TSendFileHook SendFileHook;

}  // namespace ts
