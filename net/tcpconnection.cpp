#include "net/tcpconnection.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "net/exceptions.h"
#include "runtime/text.h"

namespace ts {

using namespace platform::winsock;

namespace {

// Keeps a work span open for the length of a scope.
class TWorkSpan {
public:
  TWorkSpan(TNetComponent& component, TWorkMode mode, int64_t maximum) : component_(component), mode_(mode) {
    component_.WorkStart(mode_, maximum);
  }
  ~TWorkSpan() { component_.WorkStop(mode_); }
  TWorkSpan(const TWorkSpan&) = delete;
  TWorkSpan& operator=(const TWorkSpan&) = delete;

private:
  TNetComponent& component_;
  TWorkMode mode_;
};

// Cuts a stream back to its position when the scope ends.
class TCutBack {
public:
  explicit TCutBack(TStream& stream) : stream_(stream) {}
  ~TCutBack() {
    if (stream_.Size() > stream_.Position()) stream_.SetSize(stream_.Position());
  }
  TCutBack(const TCutBack&) = delete;
  TCutBack& operator=(const TCutBack&) = delete;

private:
  TStream& stream_;
};

// A read-only stream over a file, opened with writers denied where the system can.
class TFileReadStream : public TStream {
public:
  explicit TFileReadStream(const std::string& fileName) : file_(fileName, std::ios::binary) {}
  bool IsOpen() const { return file_.is_open(); }
  int64_t Read(void* buffer, int64_t count) override {
    file_.read(static_cast<char*>(buffer), count);
    int64_t n = file_.gcount();
    if (file_.eof()) file_.clear();
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    std::ios::seekdir dir = origin == TSeekOrigin::soBeginning ? std::ios::beg
                            : origin == TSeekOrigin::soCurrent ? std::ios::cur
                                                               : std::ios::end;
    file_.clear();
    file_.seekg(offset, dir);
    return static_cast<int64_t>(file_.tellg());
  }
  void SetSize(int64_t) override {}

private:
  std::ifstream file_;
};

}  // namespace

// ---- TNetConnectionIntercept --------------------------------------------------

void TNetConnectionIntercept::SetIntercept(TNetConnectionIntercept* next) {
  if (next == intercept_) return;
  if (intercept_) RemoveFreeNotification(intercept_);
  intercept_ = next;
  if (next) FreeNotification(next);
}

void TNetConnectionIntercept::Notification(TComponent* component, TOperation operation) {
  TNetBaseComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component == intercept_) intercept_ = nullptr;
}

void TNetConnectionIntercept::Connect(TNetTCPConnection* connection) {
  connection_ = connection;
  Fire(OnConnect, this);
  if (intercept_) intercept_->Connect(connection);
}

void TNetConnectionIntercept::Disconnect() {
  if (intercept_) intercept_->Disconnect();
  Fire(OnDisconnect, this);
  connection_ = nullptr;
}

void TNetConnectionIntercept::Receive(TStream& buffer) {
  if (intercept_) intercept_->Receive(buffer);
  Fire(OnReceive, this, buffer);
  buffer.SetPosition(0);
}

void TNetConnectionIntercept::Send(TStream& buffer) {
  Fire(OnSend, this, buffer);
  buffer.SetPosition(0);
  if (intercept_) intercept_->Send(buffer);
}

void TNetRFCReply::Clear() {
  NumericCode = 0;
  Text.Clear();
  TextCode.clear();
}

// ---- TNetTCPConnection: life and state ----------------------------------------

TNetTCPConnection::TNetTCPConnection(TComponent* owner)
    : TNetComponent(owner),
      inputBuffer_(std::make_unique<TNetManagedBuffer>()),
      receiveChunk_(std::make_unique<TNetSimpleBuffer>()),
      greeting_(std::make_unique<TNetRFCReply>()),
      lastReply_(std::make_unique<TNetRFCReply>()) {
  inputBuffer_->BytesRemovedHandler = [this](TNetSimpleBuffer*, int64_t count) {
    WorkProgress(TWorkMode::WorkRead, count);
  };
}

TNetTCPConnection::~TNetTCPConnection() {
  try {
    DropSocket();
  } catch (...) {
  }
  SetIOHandler(nullptr);
}

void TNetTCPConnection::SetIntercept(TNetConnectionIntercept* intercept) {
  if (intercept == intercept_) return;
  if (intercept_) RemoveFreeNotification(intercept_);
  intercept_ = intercept;
  if (intercept) FreeNotification(intercept);
}

void TNetTCPConnection::ReleaseIOHandler() {
  if (ownsIOHandler_ && ioHandler_) {
    TNetIOHandler* handler = ioHandler_;
    RemoveFreeNotification(handler);
    ioHandler_ = nullptr;
    socketHandler_ = nullptr;
    ownsIOHandler_ = false;
    delete handler;
  }
  ownsIOHandler_ = false;
}

void TNetTCPConnection::SetIOHandler(TNetIOHandler* handler) {
  if (handler == ioHandler_) return;
  ReleaseIOHandler();
  if (ioHandler_) RemoveFreeNotification(ioHandler_);
  ioHandler_ = handler;
  socketHandler_ = dynamic_cast<TNetIOHandlerSocket*>(handler);
  if (handler) FreeNotification(handler);
}

void TNetTCPConnection::Notification(TComponent* component, TOperation operation) {
  TNetComponent::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  if (component == ioHandler_) {
    ioHandler_ = nullptr;
    socketHandler_ = nullptr;
    ownsIOHandler_ = false;
  }
  if (component == intercept_) intercept_ = nullptr;
}

bool TNetTCPConnection::CheckDisconnected(bool raiseIfDisconnected, bool ignoreBuffer) {
  if (!ioHandler_) return false;
  bool disconnected;
  if (peerClosed_) {
    if (ioHandler_->IsOpen()) {
      DropSocket();
      ReportStatus(TNetStatus::StatusDisconnected);
      DoOnDisconnected();
    }
    disconnected = true;
  } else {
    disconnected = !ioHandler_->IsOpen();
  }
  if (disconnected && raiseIfDisconnected && (inputBuffer_->Size() == 0 || ignoreBuffer))
    throw ENetConnClosedGracefully();
  return disconnected;
}

bool TNetTCPConnection::IsConnected() {
  CheckDisconnected(false, false);
  return ioHandler_ && ioHandler_->IsOpen();
}

void TNetTCPConnection::DropSocket() {
  if (!ioHandler_) return;
  if (intercept_) intercept_->Disconnect();
  ioHandler_->Close();
}

void TNetTCPConnection::Disconnect() {
  bool wasConnected = IsConnected();
  if (wasConnected) {
    ReportStatus(TNetStatus::StatusDisconnecting);
    DropSocket();
  }
  if (ownsIOHandler_) ReleaseIOHandler();
  if (wasConnected) {
    DoOnDisconnected();
    ReportStatus(TNetStatus::StatusDisconnected);
  }
}

void TNetTCPConnection::DropAfterError() {
  // The socket goes without a Disconnect, which would find nothing open and
  // stay silent: tell the owner here, as for a close by the peer, so that
  // whoever waits for OnDisconnected learns that the connection is gone.
  const bool wasOpen = ioHandler_ && ioHandler_->IsOpen();
  DropSocket();
  if (!wasOpen) return;
  ReportStatus(TNetStatus::StatusDisconnected);
  DoOnDisconnected();
}

void TNetTCPConnection::DoOnDisconnected() { Fire(OnDisconnected, this); }

void TNetTCPConnection::ResetInput() {
  inputBuffer_->Clear();
  peerClosed_ = false;
}

// ---- reading --------------------------------------------------------------------

int TNetTCPConnection::FillInputBuffer(bool raiseIfDisconnected, int timeout, bool raiseOnTimeout) {
  return ReceiveInto(nullptr, 0, false, raiseIfDisconnected, timeout, raiseOnTimeout);
}

// The wait and receive of every read. With no target the bytes land in the
// receive chunk, pass the intercept and join the input buffer. With a target
// (a counted read with the input buffer empty and no intercept) one receive
// of at most `capacity` bytes lands there directly, so a large body is not
// copied through the input buffer; `holding` tells that the caller already
// holds bytes of its read, which counts as buffered data does when a
// shut-down or aborted connection decides between raising and ending quietly.
int TNetTCPConnection::ReceiveInto(uint8_t* target, int capacity, bool holding, bool raiseIfDisconnected, int timeout,
                                   bool raiseOnTimeout) {
  if (timeout == NetTimeoutDefault) timeout = ReadTimeout == 0 ? NetTimeoutInfinite : ReadTimeout;
  int result = 0;
  CheckDisconnected(raiseIfDisconnected);
  if (!IsConnected()) {
    if (raiseIfDisconnected) throw ENetNotConnected();
    return 0;
  }
  int n;
  // A receive that may wait without limit, with nothing to pump meanwhile,
  // leaves the waiting to the blocking receive itself: the readiness check
  // before it would only add a call per receive (under Wine a round trip to
  // its server), for a body's chunks as for the lines of every head.
  const bool check = timeout != NetTimeoutInfinite || TNetAntiFreezeBase::InUse();
  do {
    if (check && !ioHandler_->WaitReadable(timeout)) {
      if (raiseOnTimeout) throw ENetReadTimeout();
      return -1;
    }
    uint8_t* into = target;
    if (!into) {
      // The chunk keeps its full size between receives: sizing it up again
      // after every short receive would clear all of it each time, which made a
      // peer sending one byte at a time cost a whole chunk per byte.
      if (receiveChunk_->Size() != RecvBufferSize) receiveChunk_->SetSize(RecvBufferSize);
      into = receiveChunk_->Memory();
      capacity = RecvBufferSize;
    }
    n = ioHandler_->Receive(into, capacity);
    peerClosed_ = n == 0;
    if (n == NetSocketError) {
      if (SharedStack->CheckSocketResult(n, {WSAESHUTDOWN_, WSAECONNABORTED_})) {
        DropAfterError();
        if (inputBuffer_->Size() == 0 && !holding) SharedStack->RaiseSocketFailure(SharedStack->LastSocketError);
        n = 0;
      }
    }
    if (n > 0) {
      if (!target && intercept_) {
        // The intercept sees exactly the bytes received.
        receiveChunk_->SetSize(n);
        receiveChunk_->SetPosition(0);
        intercept_->Receive(*receiveChunk_);
        n = static_cast<int>(receiveChunk_->Size());
        into = receiveChunk_->Memory();
      }
      if (ASCIIFilter)
        for (int i = 0; i < n; ++i) into[i] &= 0x7F;
      if (!target) inputBuffer_->Append(into, n);
    }
    CheckDisconnected(raiseIfDisconnected);
    result = n;
  } while (n == 0 && IsConnected());
  return result;
}

int TNetTCPConnection::ProbeDisconnect(bool raiseIfDisconnected) {
  // Looks without waiting: a close or data already there is seen either way,
  // while a wait of 1 ms became a real pause under Winsock, twice per request
  // on a kept connection (the HTTP client probes after every answer and
  // before every request).
  return FillInputBuffer(raiseIfDisconnected, 0, false);
}

std::string TNetTCPConnection::ReadLine(const std::string& terminatorIn, int timeout, int maxLength) {
  if (maxLength == -1) maxLength = MaxLineLength;
  const std::string terminator = terminatorIn.empty() ? std::string("\n") : terminatorIn;
  lineWasSplit_ = false;
  lineTimedOut_ = false;
  int64_t searched = 0;
  int64_t found = 0;
  auto tooLong = [&]() -> std::string {
    if (MaxLineAction == TNetMaxLineAction::maException) throw ENetReadLnMaxLineLengthExceeded();
    lineWasSplit_ = true;
    return inputBuffer_->TakeText(maxLength);
  };
  do {
    int64_t size = inputBuffer_->Size();
    if (size > 0) {
      // Only the bytes added since the last search are new, but a terminator may
      // have begun in the tail of the old ones.
      int64_t from = std::max<int64_t>(0, searched - static_cast<int64_t>(terminator.size()) + 1);
      std::string_view bytes(reinterpret_cast<const char*>(inputBuffer_->Memory()), static_cast<size_t>(size));
      size_t at = bytes.find(terminator, static_cast<size_t>(from));
      found = at == std::string_view::npos ? 0 : static_cast<int64_t>(at) + 1;
      searched = size;
    }
    if (maxLength != 0 && found - 1 > maxLength) return tooLong();
    if (found == 0) {
      if (maxLength != 0 && searched > maxLength) return tooLong();
      CheckDisconnected(true, true);
      if (FillInputBuffer(true, timeout, timeout == NetTimeoutDefault) == -1) {
        lineTimedOut_ = true;
        return std::string();
      }
    }
  } while (found == 0);
  std::string line = inputBuffer_->TakeText(found + static_cast<int64_t>(terminator.size()) - 1);
  line.resize(static_cast<size_t>(found - 1));
  if (terminator == "\n" && found > 1 && !line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string TNetTCPConnection::ReadNonEmptyLine(int attempts) {
  for (int i = 0; i < attempts; ++i) {
    std::string line = Trim(ReadLine());
    if (!line.empty()) return line;
  }
  return std::string();
}

void TNetTCPConnection::ReadBytes(void* buffer, int64_t count) {
  if (count <= 0 || !buffer) return;
  while (inputBuffer_->Size() < count) {
    FillInputBuffer(true, NetTimeoutDefault, true);
    CheckDisconnected(true, true);
  }
  std::memcpy(buffer, inputBuffer_->Memory(), static_cast<size_t>(count));
  inputBuffer_->Discard(count);
}

int32_t TNetTCPConnection::ReadInt32(bool convert) {
  uint8_t bytes[4];
  ReadBytes(bytes, 4);
  if (convert)
    return static_cast<int32_t>((uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
                                uint32_t(bytes[3]));
  int32_t value;
  std::memcpy(&value, bytes, 4);
  return value;
}

void TNetTCPConnection::ReadToStream(TStream& stream, int64_t byteCount, bool untilClose) {
  if (byteCount == -1 && !untilClose) byteCount = ReadInt32(true);
  if (byteCount > -1) {
    // The count may come from the peer (a Content-Length, a chunk size): room
    // is made for at most a few megabytes up front, the rest as bytes arrive.
    constexpr int64_t kPresizeLimit = 4 << 20;
    int64_t position = stream.Position();
    stream.SetSize(position + std::min(byteCount, kPresizeLimit));
    stream.SetPosition(position);
  }
  int64_t remaining = untilClose ? 2147483647 : byteCount;
  // On every way out: the work span ends, then a presized stream is cut back to
  // what actually arrived.
  TCutBack cutBack(stream);
  TWorkSpan span(*this, TWorkMode::WorkRead, untilClose ? 0 : byteCount);
  int64_t buffered = std::min(inputBuffer_->Size(), remaining);
  if (buffered > 0) {
    stream.WriteBuffer(inputBuffer_->Memory(), buffered);
    inputBuffer_->Discard(buffered);
    remaining -= buffered;
  }
  if (intercept_) {
    // An intercept may change the bytes and their count, so they go through
    // the input buffer where it filters them.
    ReadChunksThroughBuffer(stream, remaining, untilClose);
  } else {
    ReadChunksDirect(stream, remaining, untilClose);
  }
  // A counted read that ended early because the peer had already gone is cut
  // short, not complete.
  if (!untilClose && remaining > 0) throw ENetConnClosedGracefully();
}

// The rest of a stream read, chunk by chunk through the input buffer.
void TNetTCPConnection::ReadChunksThroughBuffer(TStream& stream, int64_t& remaining, bool untilClose) {
  std::vector<uint8_t> chunk(static_cast<size_t>(std::max<int64_t>(std::min<int64_t>(remaining, RecvBufferSize), 0)));
  while (remaining > 0 && IsConnected()) {
    int64_t n = std::min<int64_t>(remaining, static_cast<int64_t>(chunk.size()));
    try {
      ReadBytes(chunk.data(), n);
    } catch (const std::exception& e) {
      // Whatever arrived before the failure still belongs to the stream.
      n = std::min<int64_t>(inputBuffer_->Size(), remaining);
      if (n > 0) {
        stream.WriteBuffer(inputBuffer_->Memory(), n);
        remaining -= n;
      }
      inputBuffer_->Clear();
      if (untilClose && dynamic_cast<const ENetConnClosedGracefully*>(&e)) break;
      throw;
    }
    stream.WriteBuffer(chunk.data(), n);
    remaining -= n;
  }
}

// The same with the input buffer empty: each chunk is received straight into
// the receive chunk and written to the stream from there, one copy in all.
// Receives ask for no more than the chunk still lacks, so nothing beyond the
// count is taken from the socket (the next answer on a kept connection stays
// there for the input buffer). Progress is reported per full chunk, as the
// buffered way reports each chunk it takes; bytes of a chunk cut short by a
// failure reach the stream unreported, as they do there.
void TNetTCPConnection::ReadChunksDirect(TStream& stream, int64_t& remaining, bool untilClose) {
  if (receiveChunk_->Size() != RecvBufferSize) receiveChunk_->SetSize(RecvBufferSize);
  uint8_t* chunk = receiveChunk_->Memory();
  while (remaining > 0 && IsConnected()) {
    const int n = static_cast<int>(std::min<int64_t>(remaining, RecvBufferSize));
    int filled = 0;
    try {
      while (filled < n) {
        filled += std::max(ReceiveInto(chunk + filled, n - filled, filled > 0, true, -1, true), 0);
        CheckDisconnected(true, true);
      }
    } catch (const std::exception& e) {
      if (filled > 0) {
        stream.WriteBuffer(chunk, filled);
        remaining -= filled;
      }
      if (untilClose && dynamic_cast<const ENetConnClosedGracefully*>(&e)) break;
      throw;
    }
    WorkProgress(TWorkMode::WorkRead, n);
    stream.WriteBuffer(chunk, n);
    remaining -= n;
  }
}

std::string TNetTCPConnection::TakeInputBuffer() {
  if (IsConnected()) FillInputBuffer(false, NetTimeoutDefault, true);
  return inputBuffer_->TakeText(inputBuffer_->Size());
}

std::string TNetTCPConnection::ReadAll() {
  TWorkSpan span(*this, TWorkMode::WorkRead, 0);
  std::string text;
  while (IsConnected()) text += TakeInputBuffer();
  // Bytes that arrived together with the peer's close are part of the answer.
  text += inputBuffer_->TakeText(inputBuffer_->Size());
  return text;
}

// ---- writing --------------------------------------------------------------------

void TNetTCPConnection::WriteText(const std::string& text) {
  if (!text.empty()) WriteBytes(text.data(), static_cast<int64_t>(text.size()), false);
}

void TNetTCPConnection::WriteLine(const std::string& text) { WriteText(text + "\r\n"); }

void TNetTCPConnection::WriteBytes(const void* buffer, int64_t count, bool sendNow) {
  if (count <= 0 || !buffer) return;
  CheckDisconnected(true, true);
  if (!IsConnected()) throw ENetNotConnected();
  if (writeBuffer_ && !sendNow) {
    writeBuffer_->Append(buffer, count);
    if (writeBufferThreshold_ > 0 && writeBuffer_->Size() >= writeBufferThreshold_)
      FlushWriteBuffering(writeBufferThreshold_);
    return;
  }
  TNetSimpleBuffer bytes;
  bytes.Append(buffer, count);
  if (intercept_) {
    bytes.SetPosition(0);
    intercept_->Send(bytes);
    count = bytes.Size();
  }
  int64_t pos = 0;
  while (pos < count) {
    int chunk = static_cast<int>(std::min<int64_t>(count - pos, 0x7FFFFFFF));
    int sent = ioHandler_->Transmit(bytes.Memory() + pos, chunk);
    peerClosed_ = sent == 0;
    CheckDisconnected(true, false);
    if (SharedStack->CheckSocketResult(sent, {WSAESHUTDOWN_, WSAECONNABORTED_, WSAECONNRESET_})) {
      DropAfterError();
      SharedStack->RaiseSocketFailure(SharedStack->LastSocketError);
    }
    TNetAntiFreezeBase::Pump(false);
    WorkProgress(TWorkMode::WorkWrite, sent);
    pos += sent;
  }
}

void TNetTCPConnection::WriteInt32(int32_t value, bool convert) {
  uint8_t bytes[4];
  if (convert) {
    uint32_t v = static_cast<uint32_t>(value);
    bytes[0] = static_cast<uint8_t>(v >> 24);
    bytes[1] = static_cast<uint8_t>(v >> 16);
    bytes[2] = static_cast<uint8_t>(v >> 8);
    bytes[3] = static_cast<uint8_t>(v);
  } else {
    std::memcpy(bytes, &value, 4);
  }
  WriteBytes(bytes, 4);
}

void TNetTCPConnection::WriteFromStream(TStream& stream, bool fromStart, bool sendSizeFirst, int64_t count) {
  if (fromStart) stream.SetPosition(0);
  int64_t position = stream.Position();
  int64_t end = count != 0 ? position + count : stream.Size();
  int64_t total = end - position;
  if (sendSizeFirst) WriteInt32(static_cast<int32_t>(total), true);
  TWorkSpan span(*this, TWorkMode::WorkWrite, total);
  std::vector<uint8_t> scratch(static_cast<size_t>(std::max(SendBufferSize, 1)));
  for (;;) {
    int64_t n = std::min<int64_t>(end - stream.Position(), static_cast<int64_t>(scratch.size()));
    if (n <= 0) break;
    int64_t got = stream.Read(scratch.data(), n);
    if (got <= 0) throw ENetNoDataToRead();
    WriteBytes(scratch.data(), got);
  }
}

int64_t TNetTCPConnection::WriteFileContents(const std::string& fileName, bool allowTransmit) {
  TFileReadStream file(fileName);
  if (!file.IsOpen()) throw ENetFileNotFound(Format("File \"%s\" not found", {fileName}));
  if (SendFileHook && !intercept_ && allowTransmit && socketHandler_ && socketHandler_->Binding() && !writeBuffer_) {
    int64_t sent = SendFileHook(socketHandler_->Binding()->SocketId(), fileName);
    if (sent >= 0) return sent;
  }
  int64_t size = file.Size();
  WriteFromStream(file, true, false, 0);
  return size;
}

void TNetTCPConnection::StartWriteBuffering(int32_t threshold) {
  if (!writeBuffer_) writeBuffer_ = std::make_unique<TNetSimpleBuffer>();
  writeBufferThreshold_ = threshold;
}

void TNetTCPConnection::FlushWriteBuffering(int64_t count) {
  if (!writeBuffer_ || writeBuffer_->Size() == 0) return;
  if (count != -1 && writeBuffer_->Size() >= count) {
    WriteBytes(writeBuffer_->Memory(), count, true);
    writeBuffer_->Discard(count);
  } else {
    WriteBytes(writeBuffer_->Memory(), writeBuffer_->Size(), true);
    writeBuffer_->Clear();
  }
}

void TNetTCPConnection::FinishWriteBuffering() {
  try {
    FlushWriteBuffering(-1);
  } catch (...) {
    writeBuffer_.reset();
    throw;
  }
  writeBuffer_.reset();
}

void TNetTCPConnection::DiscardWriteBuffering() {
  if (writeBuffer_) writeBuffer_->Clear();
}

// ---- reply exchange ---------------------------------------------------------------

int TNetTCPConnection::SendCommand(const std::string& command, std::initializer_list<int> allowedReplies) {
  WriteLine(command);
  return ReadReply(allowedReplies);
}

void TNetTCPConnection::ReadReplyLines() {
  TNetRFCReply& reply = *lastReply_;
  reply.Clear();
  TStringList lines;
  std::string first = ReadNonEmptyLine();
  lines.Add(first);
  if (first.size() > 3 && first[3] == '-') {
    const std::string prefix = first.substr(0, 3) + " ";
    for (;;) {
      std::string line = ReadNonEmptyLine();
      lines.Add(line);
      if (line.size() < 4 || StartsText(prefix, line)) break;
    }
  }
  std::string code = Trim(first.substr(0, std::min<size_t>(4, first.size())));
  if (!code.empty() && code.back() == '-') code.pop_back();
  reply.TextCode = code;
  reply.NumericCode = StrToIntDef(code, 0);
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string& line = lines[i];
    if (!code.empty() && line.compare(0, code.size(), code) == 0)
      reply.Text.Add(line.size() > 4 ? line.substr(4) : std::string());
    else
      reply.Text.Add(TrimLeft(line));
  }
}

int TNetTCPConnection::ReadReply(std::initializer_list<int> allowedReplies) {
  ReadReplyLines();
  return CheckReply(allowedReplies);
}

int TNetTCPConnection::CheckReply(std::initializer_list<int> allowedReplies) {
  int code = lastReply_->NumericCode;
  if (allowedReplies.size() == 0) return code;
  if (std::find(allowedReplies.begin(), allowedReplies.end(), code) != allowedReplies.end()) return code;
  RaiseReplyError();
  return code;
}

std::string TNetTCPConnection::ReplyText() {
  std::string text;
  for (int i = 0; i < lastReply_->Text.Count(); ++i) {
    if (i > 0) text += "\r\n";
    text += lastReply_->Text[i];
  }
  return text;
}

void TNetTCPConnection::RaiseReplyError() { RaiseReplyErrorAs<ENetProtocolReplyError>(); }

// ---- TNetTCPClient -----------------------------------------------------------------

void TNetTCPClient::Connect(int timeout) {
  if (!IOHandler()) {
    auto* handler = new TNetIOHandlerSocket(this);
    SetIOHandler(handler);
    handler->OnStatus = OnStatus;
    SetOwnsIOHandler(true);
  } else if (IOHandler()->IsOpen()) {
    throw ENetAlreadyConnected();
  }
  try {
    IOHandler()->Open();
    ResetInput();
    IOHandler()->ConnectTo(Host(), Port(), BoundIP, BoundPort, BoundPortLow, BoundPortHigh, timeout);
    if (Intercept()) Intercept()->Connect(this);
    ReportStatus(TNetStatus::StatusConnected, {Host()});
    DoOnConnected();
  } catch (...) {
    DropSocket();
    throw;
  }
}

void TNetTCPClient::DoOnConnected() { Fire(OnConnected, this); }

std::string TNetTCPClient::ConnectAndReadAll() {
  Connect(NetTimeoutDefault);
  std::string text;
  try {
    text = ReadAll();
  } catch (...) {
    Disconnect();
    throw;
  }
  Disconnect();
  return text;
}

}  // namespace ts
