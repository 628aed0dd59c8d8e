#include "net/stack.h"

#include <algorithm>
#include <cstring>

#include "runtime/text.h"

namespace ts {

using namespace winsock;

TNetStack* SharedStack = nullptr;
std::recursive_mutex SharedStackLock;
int StackUserCount = 0;
std::atomic<bool> WinsockStarted{false};
TSendFileHook SendFileHook;

namespace {

// Sends a file with the library's whole-file export. Where the library does not
// offer one (it lives outside the socket library on current systems), the hook
// says so and the caller sends the file through the connection itself.
int64_t TransmitFileHook(TNetSocket handle, const std::string& fileName) {
  if (!WinsockEntryAvailable(108)) return -1;
  BindWinsockEntry(108);
  return platform::TransmitWholeFile(TransmitFile.address.load(), handle, fileName);
}

// At process end: clean the library up once if it was started, then unload it.
struct TProcessEnd {
  TProcessEnd() {
    if (platform::IsNTPlatform()) SendFileHook = TransmitFileHook;
  }
  ~TProcessEnd() {
    if (WinsockStarted.load() && WinsockLibraryHandle()) {
      try {
        WSACleanup();
      } catch (...) {
      }
    }
    UnloadWinsock();
  }
} processEnd;

bool ReadDecimal(const std::string& text, int64_t& value) {
  if (text.empty()) return false;
  size_t i = 0;
  bool negative = false;
  if (text[0] == '-' || text[0] == '+') {
    negative = text[0] == '-';
    i = 1;
  }
  if (i >= text.size() || text.size() - i > 18) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  value = negative ? -v : v;
  return true;
}

bool Fits(const std::string& text, int64_t max, int64_t& value) {
  return ReadDecimal(text, value) && value >= 0 && value <= max;
}

std::string CutAtDot(std::string& rest) {
  size_t dot = rest.find('.');
  std::string part;
  if (dot == std::string::npos) {
    part = rest;
    rest.clear();
  } else {
    part = rest.substr(0, dot);
    rest.erase(0, dot + 1);
  }
  return part;
}

TSockAddrIn MakeAddress(int family, uint32_t address, int port) {
  TSockAddrIn record;
  std::memset(&record, 0, sizeof record);
  record.sin_family = static_cast<int16_t>(family);
  record.sin_port = htons(static_cast<uint16_t>(port));
  record.sin_addr.s_addr = address;
  return record;
}

std::string InAddrText(TNetStack& stack, uint32_t address) {
  TIPOctets octets;
  std::memcpy(octets.data(), &address, 4);
  return stack.AddressToText(octets);
}

}  // namespace

// ---- TNetStack ----------------------------------------------------------------

TNetStack::~TNetStack() = default;

std::string TNetStack::FirstLocalAddress() {
  TStringList& list = LocalAddressList();
  return list.Count() > 0 ? list[0] : std::string();
}

TStringList& TNetStack::LocalAddressList() {
  if (!localAddresses_) localAddresses_ = std::make_unique<TStringList>();
  FillLocalAddresses();
  return *localAddresses_;
}

std::string TNetStack::NetErrorText(int errorNumber) {
  const char* text = "";
  switch (errorNumber) {
    case WSAEINTR_:
      text = "Interrupted system call.";
      break;
    case WSAEBADF_:
      text = "Bad file number.";
      break;
    case WSAEACCES_:
      text = "Access denied.";
      break;
    case WSAEFAULT_:
      text = "Bad address.";
      break;
    case WSAEINVAL_:
      text = "Invalid argument.";
      break;
    case WSAEMFILE_:
      text = "Too many open files.";
      break;
    case WSAEWOULDBLOCK_:
      text = "Operation would block. ";
      break;
    case WSAEINPROGRESS_:
      text = "Operation now in progress.";
      break;
    case WSAEALREADY_:
      text = "Operation already in progress.";
      break;
    case WSAENOTSOCK_:
      text = "Socket operation on non-socket.";
      break;
    case WSAEDESTADDRREQ_:
      text = "Destination address required.";
      break;
    case WSAEMSGSIZE_:
      text = "Message too long.";
      break;
    case WSAEPROTOTYPE_:
      text = "Protocol wrong type for socket.";
      break;
    case WSAENOPROTOOPT_:
      text = "Bad protocol option.";
      break;
    case WSAEPROTONOSUPPORT_:
      text = "Protocol not supported.";
      break;
    case WSAESOCKTNOSUPPORT_:
      text = "Socket type not supported.";
      break;
    case WSAEOPNOTSUPP_:
      text = "Operation not supported on socket.";
      break;
    case WSAEPFNOSUPPORT_:
      text = "Protocol family not supported.";
      break;
    case WSAEAFNOSUPPORT_:
      text = "Address family not supported by protocol family.";
      break;
    case WSAEADDRINUSE_:
      text = "Address already in use.";
      break;
    case WSAEADDRNOTAVAIL_:
      text = "Cannot assign requested address.";
      break;
    case WSAENETDOWN_:
      text = "Network is down.";
      break;
    case WSAENETUNREACH_:
      text = "Network is unreachable.";
      break;
    case WSAENETRESET_:
      text = "Net dropped connection or reset.";
      break;
    case WSAECONNABORTED_:
      text = "Software caused connection abort.";
      break;
    case WSAECONNRESET_:
      text = "Connection reset by peer.";
      break;
    case WSAENOBUFS_:
      text = "No buffer space available.";
      break;
    case WSAEISCONN_:
      text = "Socket is already connected.";
      break;
    case WSAENOTCONN_:
      text = "Socket is not connected.";
      break;
    case WSAESHUTDOWN_:
      text = "Cannot send or receive after socket is closed.";
      break;
    case WSAETOOMANYREFS_:
      text = "Too many references, cannot splice.";
      break;
    case WSAETIMEDOUT_:
      text = "Connection timed out.";
      break;
    case WSAECONNREFUSED_:
      text = "Connection refused.";
      break;
    case WSAELOOP_:
      text = "Too many levels of symbolic links.";
      break;
    case WSAENAMETOOLONG_:
      text = "File name too long.";
      break;
    case WSAEHOSTDOWN_:
      text = "Host is down.";
      break;
    case WSAEHOSTUNREACH_:
      text = "No route to host.";
      break;
    case WSAENOTEMPTY_:
      text = "Directory not empty";
      break;
    default:
      break;
  }
  return Format("Socket Error # %d\r\n%s", {errorNumber, text});
}

std::string TNetStack::AddressToText(const TIPOctets& address) {
  return Format("%d.%d.%d.%d", {address[0], address[1], address[2], address[3]});
}

void TNetStack::TextToAddress(const std::string& text, TIPOctets& address) {
  TIPForm form;
  TIPClass ipClass;
  if (!ParseIPAddress(text, address, form, ipClass))
    throw ENetInvalidIPAddress(Format("%s is not a valid IP address.", {text}));
}

bool TNetStack::CheckSocketResult(int result, std::initializer_list<int> ignoreList) {
  if (result != NetSocketError) return false;
  LastSocketError = NetLastError();
  if (std::find(ignoreList.begin(), ignoreList.end(), LastSocketError) != ignoreList.end()) return true;
  RaiseSocketFailure(LastSocketError);
}

void TNetStack::RaiseSocketFailure(int errorNumber) { throw ENetSocketError(errorNumber, NetErrorText(errorNumber)); }

TNetSocket TNetStack::NewSocket(int type, int protocol) {
  TNetSocket handle = NetSocket(AF_INET_, type, protocol);
  if (handle == NetInvalidSocket) throw ENetInvalidSocket();
  return handle;
}

std::string TNetStack::ResolveHostAddress(const std::string& host) {
  if (SameText(host, "LOCALHOST")) return "127.0.0.1";
  if (IsIPAddress(host)) return host;
  return NetHostByName(host);
}

bool TNetStack::IsIPAddress(const std::string& text) {
  TIPOctets octets;
  TIPForm form;
  TIPClass ipClass;
  return ParseIPAddress(text, octets, form, ipClass);
}

bool TNetStack::ParseIPAddress(const std::string& text, TIPOctets& octets, TIPForm& form, TIPClass& ipClass) {
  std::string rest = text;
  std::string part1 = CutAtDot(rest);
  std::string part2 = CutAtDot(rest);
  std::string part3 = CutAtDot(rest);
  form = TIPForm::IPFormInvalid;
  ipClass = TIPClass::IPClassUnknown;
  // An empty piece ends the address; pieces after it make it no address at all
  // (so "1..3.4" is not read as the number 1).
  if ((part2.empty() && (!part3.empty() || !rest.empty())) || (part3.empty() && !rest.empty())) return false;
  int64_t a, b, c, d;
  TIPOctets result{};
  if (part2.empty()) {
    if (!Fits(part1, 4294967295LL, a)) return false;
    result = {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16), static_cast<uint8_t>(a >> 8),
              static_cast<uint8_t>(a)};
    form = TIPForm::IPFormNumeric;
  } else if (part3.empty()) {
    if (!Fits(part1, 255, a) || !Fits(part2, 16777215, b)) return false;
    result = {static_cast<uint8_t>(a), static_cast<uint8_t>(b >> 16), static_cast<uint8_t>(b >> 8),
              static_cast<uint8_t>(b)};
    form = TIPForm::IPFormDotted;
    ipClass = TIPClass::IPClassA;
  } else if (rest.empty()) {
    if (!Fits(part1, 255, a) || !Fits(part2, 255, b) || !Fits(part3, 65535, c)) return false;
    result = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)};
    form = TIPForm::IPFormDotted;
    ipClass = TIPClass::IPClassB;
  } else {
    if (!Fits(part1, 255, a) || !Fits(part2, 255, b) || !Fits(part3, 255, c) || !Fits(rest, 255, d)) return false;
    result = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c), static_cast<uint8_t>(d)};
    form = TIPForm::IPFormDotted;
    if (a < 128)
      ipClass = TIPClass::IPClassA;
    else if (a < 192)
      ipClass = TIPClass::IPClassB;
    else if (a < 224)
      ipClass = TIPClass::IPClassC;
    else if (a < 240)
      ipClass = TIPClass::IPClassD;
    else
      ipClass = TIPClass::IPClassE;
  }
  octets = result;
  return true;
}

uint32_t TNetStack::TextToInAddr(const std::string& text) {
  TIPOctets octets;
  TextToAddress(text, octets);
  uint32_t address;
  std::memcpy(&address, octets.data(), 4);
  return address;
}

// ---- TNetStackWindows ---------------------------------------------------------

TNetStackWindows::TNetStackWindows() {
  if (!WinsockStarted.load()) {
    TWSAData data;
    std::memset(&data, 0, sizeof data);
    if (StartWinsock(0x0202, &data) != 0) throw ENetStackInitializationFailed();
    WinsockStarted = true;
  }
}

void TNetStackWindows::FillLocalAddresses() {
  if (!localAddresses_) localAddresses_ = std::make_unique<TStringList>();
  localAddresses_->Clear();
  THostEnt* host = gethostbyname(NetHostName().c_str());
  if (!host) {
    CheckSocketResult(NetSocketError);
    return;
  }
  for (char** entry = host->h_addr_list; entry && *entry; ++entry) {
    uint32_t address;
    std::memcpy(&address, *entry, 4);
    localAddresses_->Add(InAddrText(*this, address));
  }
}

TNetSocket TNetStackWindows::NetAccept(TNetSocket listener, std::string& peerIP, int& peerPort) {
  TSockAddrIn address;
  std::memset(&address, 0, sizeof address);
  int length = sizeof address;
  TNetSocket result = accept(listener, reinterpret_cast<TSockAddr*>(&address), &length);
  peerIP = InAddrText(*this, address.sin_addr.s_addr);
  peerPort = ntohs(address.sin_port);
  return result;
}

int TNetStackWindows::NetBind(TNetSocket handle, int family, const std::string& ip, int port) {
  TSockAddrIn address = MakeAddress(family, ip.empty() ? 0 : TextToInAddr(ip), port);
  return bind(handle, reinterpret_cast<const TSockAddr*>(&address), sizeof address);
}

int TNetStackWindows::NetCloseSocket(TNetSocket handle) { return closesocket(handle); }

int TNetStackWindows::NetConnect(TNetSocket handle, int family, const std::string& ip, int port) {
  TSockAddrIn address = MakeAddress(family, TextToInAddr(ip), port);
  return connect(handle, reinterpret_cast<const TSockAddr*>(&address), sizeof address);
}

std::string TNetStackWindows::NetHostByName(const std::string& hostName) {
  THostEnt* host = gethostbyname(hostName.c_str());
  if (!host || !host->h_addr_list || !host->h_addr_list[0]) {
    CheckSocketResult(NetSocketError);
    // The library reported no error for an empty answer: still no address.
    RaiseSocketFailure(WSAHOST_NOT_FOUND_);
  }
  uint32_t address;
  std::memcpy(&address, host->h_addr_list[0], 4);
  return InAddrText(*this, address);
}

std::string TNetStackWindows::NetHostName() {
  char buffer[251];
  std::memset(buffer, 0, sizeof buffer);
  gethostname(buffer, 250);
  buffer[250] = 0;
  return std::string(buffer);
}

std::string TNetStackWindows::NetHostByAddr(const std::string& address) {
  uint32_t in = inet_addr(address.c_str());
  THostEnt* host = gethostbyaddr(reinterpret_cast<const char*>(&in), 4, AF_INET_);
  if (!host) {
    CheckSocketResult(NetSocketError);
    RaiseSocketFailure(WSAHOST_NOT_FOUND_);
  }
  return host->h_name ? std::string(host->h_name) : std::string();
}

int TNetStackWindows::NetServiceByName(const std::string& serviceName) {
  TServEnt* service = getservbyname(serviceName.c_str(), nullptr);
  if (service) return ntohs(static_cast<uint16_t>(service->s_port));
  int32_t port;
  if (TryStrToInt(serviceName, port)) return port;
  throw ENetInvalidServiceName(Format("%s is not a valid service.", {serviceName}));
}

TStringList* TNetStackWindows::NetServiceNamesByPort(int port) {
  auto list = std::make_unique<TStringList>();
  TServEnt* service = getservbyport(htons(static_cast<uint16_t>(port)), nullptr);
  if (service) {
    if (service->s_name) list->Add(service->s_name);
    for (char** alias = service->s_aliases; alias && *alias; ++alias) list->Add(*alias);
  }
  return list.release();
}

uint16_t TNetStackWindows::NetHostToNetShort(uint16_t value) { return htons(value); }
int TNetStackWindows::NetListen(TNetSocket handle, int backlog) { return listen(handle, backlog); }
uint16_t TNetStackWindows::NetNetToHostShort(uint16_t value) { return ntohs(value); }
uint32_t TNetStackWindows::NetHostToNetLong(uint32_t value) { return htonl(value); }
uint32_t TNetStackWindows::NetNetToHostLong(uint32_t value) { return ntohl(value); }

int TNetStackWindows::NetRecv(TNetSocket handle, void* buffer, int length, int flags) {
  return recv(handle, static_cast<char*>(buffer), length, flags);
}

int TNetStackWindows::NetRecvFrom(TNetSocket handle, void* buffer, int length, int flags, std::string& ip, int& port) {
  TSockAddrIn address;
  std::memset(&address, 0, sizeof address);
  int size = sizeof address;
  int result =
      recvfrom(handle, static_cast<char*>(buffer), length, flags, reinterpret_cast<TSockAddr*>(&address), &size);
  ip = InAddrText(*this, address.sin_addr.s_addr);
  port = ntohs(address.sin_port);
  return result;
}

int TNetStackWindows::NetSelect(TNetSocketVector* readList, TNetSocketVector* writeList, int timeout,
                                TNetSocketVector* errorList) {
  TFDSet sets[3];
  TNetSocketVector* lists[3] = {readList, writeList, errorList};
  for (int i = 0; i < 3; ++i) {
    std::memset(&sets[i], 0, sizeof sets[i]);
    if (!lists[i]) continue;
    if (lists[i]->size() > static_cast<size_t>(FD_SETSIZE_)) throw ENetStackSetSizeExceeded();
    for (TNetSocket handle : *lists[i]) sets[i].fd_array[sets[i].fd_count++] = handle;
  }
  TTimeVal time{0, 0};
  const TTimeVal* limit = nullptr;
  if (timeout != -2) {
    time.tv_sec = timeout / 1000;
    time.tv_usec = (timeout % 1000) * 1000;
    limit = &time;
  }
  int result =
      select(0, lists[0] ? &sets[0] : nullptr, lists[1] ? &sets[1] : nullptr, lists[2] ? &sets[2] : nullptr, limit);
  for (int i = 0; i < 3; ++i) {
    if (!lists[i]) continue;
    lists[i]->clear();
    for (uint32_t k = 0; k < sets[i].fd_count && k < static_cast<uint32_t>(FD_SETSIZE_); ++k)
      lists[i]->push_back(sets[i].fd_array[k]);
  }
  return result;
}

int TNetStackWindows::NetSend(TNetSocket handle, const void* buffer, int length, int flags) {
  return send(handle, static_cast<const char*>(buffer), length, flags);
}

int TNetStackWindows::NetSendTo(TNetSocket handle, const void* buffer, int length, int flags, const std::string& ip,
                                int port) {
  TSockAddrIn address = MakeAddress(AF_INET_, TextToInAddr(ip), port);
  return sendto(handle, static_cast<const char*>(buffer), length, flags, reinterpret_cast<const TSockAddr*>(&address),
                sizeof address);
}

int TNetStackWindows::NetSetSockOpt(TNetSocket handle, int level, int option, const void* value, int length) {
  return setsockopt(handle, level, option, static_cast<const char*>(value), length);
}

TNetSocket TNetStackWindows::NetSocket(int family, int type, int protocol) { return socket(family, type, protocol); }

int TNetStackWindows::NetShutdown(TNetSocket handle, int how) { return shutdown(handle, how); }

std::string TNetStackWindows::NetErrorText(int errorNumber) {
  if (errorNumber == WSAHOST_NOT_FOUND_) return Format("Socket Error # %d\r\n%s", {errorNumber, "Host not found."});
  return TNetStack::NetErrorText(errorNumber);
}

int TNetStackWindows::NetLastError() { return WSAGetLastError(); }

namespace {
// The far or the near end of a socket, through getpeername or getsockname.
template <typename Query>
void SocketEnd(TNetStackWindows& stack, Query query, TNetSocket handle, int& family, std::string& ip, int& port) {
  TSockAddrIn address;
  std::memset(&address, 0, sizeof address);
  int size = sizeof address;
  stack.CheckSocketResult(query(handle, reinterpret_cast<TSockAddr*>(&address), &size));
  family = address.sin_family;
  ip = InAddrText(stack, address.sin_addr.s_addr);
  port = ntohs(address.sin_port);
}
}  // namespace

void TNetStackWindows::NetPeerName(TNetSocket handle, int& family, std::string& ip, int& port) {
  SocketEnd(
      *this, [](TNetSocket s, TSockAddr* a, int* n) { return getpeername(s, a, n); }, handle, family, ip, port);
}

void TNetStackWindows::NetSockName(TNetSocket handle, int& family, std::string& ip, int& port) {
  SocketEnd(
      *this, [](TNetSocket s, TSockAddr* a, int* n) { return getsockname(s, a, n); }, handle, family, ip, port);
}

int TNetStackWindows::NetGetSockOpt(TNetSocket handle, int level, int option, void* value, int* length) {
  return getsockopt(handle, level, option, static_cast<char*>(value), length);
}

// ---- TNetSocketListWindows ----------------------------------------------------

void TNetSocketListWindows::Add(TNetSocket handle) {
  if (set_.fd_count >= static_cast<uint32_t>(FD_SETSIZE_)) throw ENetStackSetSizeExceeded();
  set_.fd_array[set_.fd_count++] = handle;
}

TNetSocket TNetSocketListWindows::Items(int index) const {
  if (index < 0 || index >= Count()) throw ENetStackSetSizeExceeded();
  return set_.fd_array[index];
}

void TNetSocketListWindows::Remove(TNetSocket handle) {
  for (uint32_t i = 0; i < set_.fd_count; ++i) {
    if (set_.fd_array[i] == handle) {
      set_.fd_array[i] = set_.fd_array[set_.fd_count - 1];
      --set_.fd_count;
      return;
    }
  }
}

}  // namespace ts
