#include "service/tls.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace pinleaf {

namespace {

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

File Open(const std::string& path, std::string& error, const char* what) {
  File f(fopen(path.c_str(), "rb"));
  if (!f) error = std::string("cannot read the TLS ") + what + " " + path + ": " + std::strerror(errno);
  return f;
}

}  // namespace

std::string CheckCertificateAndKey(const std::string& certFile, const std::string& keyFile) {
  std::string error;
  File certIn = Open(certFile, error, "certificate");
  if (!certIn) return error;
  std::unique_ptr<X509, decltype(&X509_free)> cert(PEM_read_X509(certIn.get(), nullptr, nullptr, nullptr), X509_free);
  if (!cert) return "the TLS certificate " + certFile + " holds no PEM certificate";
  File keyIn = Open(keyFile, error, "key");
  if (!keyIn) return error;
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(PEM_read_PrivateKey(keyIn.get(), nullptr, nullptr, nullptr),
                                                          EVP_PKEY_free);
  if (!key) return "the TLS key " + keyFile + " holds no PEM private key (or one protected by a passphrase)";
  if (X509_check_private_key(cert.get(), key.get()) != 1) {
    ERR_clear_error();
    return "the TLS key " + keyFile + " does not belong to the certificate " + certFile;
  }
  return {};
}

}  // namespace pinleaf
