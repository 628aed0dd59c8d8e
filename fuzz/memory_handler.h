// An I/O handler over bytes in memory: what a peer would send, handed out in
// small slices so that line and count reads meet every buffer boundary; what
// the client sends is counted and dropped. The end of the bytes is an orderly
// close by the peer.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "net/iohandler.h"

namespace fuzz {

class TMemoryIOHandler : public ts::TNetIOHandler {
public:
  TMemoryIOHandler(std::string peerBytes, size_t slice)
      : ts::TNetIOHandler(nullptr), bytes_(std::move(peerBytes)), slice_(std::max<size_t>(slice, 1)) {}

  void ConnectTo(const std::string&, int, const std::string&, int, int, int, int) override {
    Active = true;
    ++connects;
  }
  bool WaitReadable(int) override { return true; }
  int Receive(void* buffer, int length) override {
    size_t n = std::min({static_cast<size_t>(length), slice_, bytes_.size() - at_});
    std::memcpy(buffer, bytes_.data() + at_, n);
    at_ += n;
    return static_cast<int>(n);
  }
  int Transmit(const void*, int length) override {
    sent += static_cast<size_t>(length);
    return length;
  }

  size_t sent = 0;
  int connects = 0;

private:
  std::string bytes_;
  size_t at_ = 0;
  size_t slice_;
};

}  // namespace fuzz
