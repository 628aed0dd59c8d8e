// The HTTP client reading whatever a server answers: status lines, heads,
// Content-Length, chunked and until-close bodies, redirects (each pass goes on
// reading the same bytes), error statuses. Input: byte 0 sets the slice size
// and the request kind, the rest is what the server sends.
#include "fuzz/fuzz_common.h"
#include "fuzz/memory_handler.h"
#include "http/exceptions.h"
#include "http/http.h"
#include "net/exceptions.h"

using namespace ts;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::FixClock();
  static TNetComponent keeper(nullptr);  // one socket stack for the whole run, as in the program
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  std::string peer(reinterpret_cast<const char*>(data + 1), size - 1);
  auto* handler = new fuzz::TMemoryIOHandler(peer, 1 + (mode & 15) * 37);
  {
    TNetHTTP http(nullptr);
    http.SetIOHandler(handler);
    http.HandleRedirects = (mode & 16) == 0;
    http.ReadTimeout = 1000;
    TMemoryStream body;
    try {
      if (mode & 32) {
        TStringList form;
        form.Add("data[User][username]=a b");
        http.PostFormToStream("http://h/pinleaf2/users/login", form, body);
      } else {
        http.GetToStream("http://h/pinleaf2/posts/nop/?1", body);
      }
    } catch (const Exception&) {
      // Every way the answer can be wrong ends in one of the client's own errors.
    }
    // The body never holds more than the server sent.
    FUZZ_CHECK(body.Size() <= static_cast<int64_t>(peer.size()), "the body comes from the peer's bytes");
    FUZZ_CHECK(handler->connects <= 16, "redirects end");
  }
  delete handler;
  return 0;
}
