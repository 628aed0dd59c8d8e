// TLS sessions over Schannel (SSPI). The certificate is judged here, after
// the handshake and before any byte of the caller's: the chain against the
// system's trust store with the SSL policy, the host name (and an address
// against the certificate's IP entries), or, for a pinned service, the
// certificate's SHA-256 alone. Only TLS 1.2 is offered: that is what every
// Schannel of the supported systems speaks through this credential form.
#define SECURITY_WIN32
#include <windows.h>
// windows.h first
#include <bcrypt.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/tls.h"

namespace platform::tls {

namespace {

// SECURITY_FLAG_IGNORE_CERT_CN_INVALID, which only wininet.h defines.
constexpr DWORD kIgnoreNameMismatch = 0x00001000;

std::wstring Wide(const std::string& text) {
  std::wstring wide;
  for (unsigned char c : text) wide += static_cast<wchar_t>(c);  // host names are ASCII
  return wide;
}

std::string Hex(const unsigned char* bytes, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

std::string StatusText(SECURITY_STATUS status) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(status));
  return text;
}

std::string Sha256(const unsigned char* data, DWORD length) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[32];
  bool ok = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
            BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
            BCryptHashData(hash, const_cast<unsigned char*>(data), length, 0) == 0 &&
            BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
  if (hash) BCryptDestroyHash(hash);
  if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok ? Hex(digest, sizeof digest) : std::string();
}

// The four bytes of a dotted IPv4 address; empty for anything else (a name).
std::string AddressBytes(const std::string& host) {
  std::string bytes;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && (pos >= host.size() || host[pos++] != '.')) return {};
    int value = 0, digits = 0;
    while (pos < host.size() && host[pos] >= '0' && host[pos] <= '9' && digits < 3) {
      value = value * 10 + (host[pos++] - '0');
      ++digits;
    }
    if (digits == 0 || value > 255) return {};
    bytes += static_cast<char>(value);
  }
  return pos == host.size() ? bytes : std::string();
}

// Whether the certificate lists `address` among its subject's IP addresses.
bool CertificateHasAddress(PCCERT_CONTEXT cert, const std::string& address) {
  PCERT_EXTENSION extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
  if (!extension) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
    return false;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == address.size() &&
            std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0;
  }
  LocalFree(names);
  return found;
}

// Record sizes a session can work with: a header and room for at least one
// byte of data in each record.
bool UsableStreamSizes(const SecPkgContext_StreamSizes& sizes) {
  return sizes.cbHeader > 0 && sizes.cbMaximumMessage > 0 && sizes.cbMaximumMessage <= 1 << 20 &&
         sizes.cbTrailer <= 1 << 16;
}

Failure FromPolicyError(DWORD error) {
  switch (error) {
    case static_cast<DWORD>(CERT_E_EXPIRED):
    case static_cast<DWORD>(CERT_E_VALIDITYPERIODNESTING):
      return Failure::NotTimeValid;
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return Failure::OtherHost;
    default:
      return Failure::NotTrusted;
  }
}

// The client's credential handle. Schannel keeps the sessions of a handle
// per target name: connections that share a handle resume each other's.
struct Credential {
  ~Credential() {
    if (valid) FreeCredentialsHandle(&handle);
  }
  CredHandle handle{};
  bool valid = false;

  // A new handle, or none with `status` saying why.
  static std::shared_ptr<Credential> Acquire(SECURITY_STATUS& status) {
    SCHANNEL_CRED credential{};
    credential.dwVersion = SCHANNEL_CRED_VERSION;
    credential.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    // Strong crypto leaves out the suites known to be weak (RC4, DES, export)
    // that an older system still offers.
    credential.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    auto made = std::make_shared<Credential>();
    status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                       &credential, nullptr, nullptr, &made->handle, nullptr);
    if (status != SEC_E_OK) return nullptr;
    made->valid = true;
    return made;
  }
};

// One credential handle for every session given this cache, made on first
// use; clearing it starts a new handle (and so a new system cache) for the
// sessions that follow, those under way keep theirs.
class SchannelSessionCache : public SessionCache {
public:
  void Clear() override {
    std::lock_guard<std::mutex> guard(lock_);
    credential_.reset();
  }

  std::shared_ptr<Credential> Get(SECURITY_STATUS& status) {
    std::lock_guard<std::mutex> guard(lock_);
    status = SEC_E_OK;
    if (!credential_) credential_ = Credential::Acquire(status);
    return credential_;
  }

private:
  std::mutex lock_;
  std::shared_ptr<Credential> credential_;
};

class SchannelSession : public Session {
public:
  ~SchannelSession() override {
    if (haveContext_) DeleteSecurityContext(&context_);
  }

  Failure Handshake(Channel& channel, const HandshakeParams& params, std::string& detail) override {
    SECURITY_STATUS status = SEC_E_OK;
    credential_ =
        params.cache ? static_cast<SchannelSessionCache*>(params.cache)->Get(status) : Credential::Acquire(status);
    if (!credential_) {
      detail = "no TLS credentials: " + StatusText(status);
      return Failure::HandshakeRefused;
    }
    credentials_ = credential_->handle;
    host_ = Wide(params.host);

    std::string incoming;
    bool first = true;
    bool needMore = false;
    for (;;) {
      if (needMore) {
        char buffer[16384];
        int n = channel.Recv(buffer, sizeof buffer);
        if (n == 0) {
          detail = "the server closed the connection";
          return Failure::Closed;
        }
        if (n < 0) return Failure::Transport;
        incoming.append(buffer, static_cast<size_t>(n));
      }
      SecBuffer in[2] = {{static_cast<unsigned long>(incoming.size()), SECBUFFER_TOKEN, incoming.data()},
                         {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
      SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
      unsigned long attributes = 0;
      status = InitializeSecurityContextW(&credentials_, first ? nullptr : &context_, host_.data(), kRequest, 0, 0,
                                          first ? nullptr : &inDesc, 0, first ? &context_ : nullptr, &outDesc,
                                          &attributes, nullptr);
      if (first) haveContext_ = true;
      first = false;
      if (out[0].pvBuffer) {
        bool sent = out[0].cbBuffer == 0 || channel.SendAll(out[0].pvBuffer, static_cast<int>(out[0].cbBuffer));
        FreeContextBuffer(out[0].pvBuffer);
        if (!sent) return Failure::Transport;
      }
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        needMore = true;
        continue;
      }
      if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS) {
        if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0)
          incoming.erase(0, incoming.size() - in[1].cbBuffer);
        else if (status != SEC_I_INCOMPLETE_CREDENTIALS)
          incoming.clear();
        if (status == SEC_E_OK) break;
        needMore = incoming.empty();
        continue;
      }
      detail = "Schannel " + StatusText(status);
      return Failure::HandshakeRefused;
    }
    pending_ = std::move(incoming);  // records that came with the handshake's end
    // Records are cut by these sizes; sizes of nothing would have Encrypt go
    // round without ever taking a byte.
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK ||
        !UsableStreamSizes(sizes_)) {
      detail = "Schannel gave no usable record sizes";
      return Failure::HandshakeRefused;
    }

    PCCERT_CONTEXT cert = nullptr;
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK || !cert) {
      detail = "the server sent no certificate";
      return Failure::NotTrusted;
    }
    peerSha256_ = Sha256(cert->pbCertEncoded, cert->cbCertEncoded);
    Failure failure = Failure::None;
    if (!params.pinSha256.empty()) {
      if (peerSha256_ != params.pinSha256) {
        detail = "certificate SHA-256 " + peerSha256_;
        failure = Failure::PinMismatch;
      }
    } else {
      failure = Verify(cert, params.host, detail);
    }
    CertFreeCertificateContext(cert);
    if (failure != Failure::None) {
      std::string alert;
      CloseNotify(alert);
      if (!alert.empty()) channel.SendAll(alert.data(), static_cast<int>(alert.size()));
    }
    return failure;
  }

  bool Encrypt(const void* data, int length, std::string& out) override {
    if (!UsableStreamSizes(sizes_)) return false;
    const auto* bytes = static_cast<const char*>(data);
    std::vector<char> record;
    while (length > 0) {
      const unsigned long chunk = std::min<unsigned long>(static_cast<unsigned long>(length), sizes_.cbMaximumMessage);
      record.resize(sizes_.cbHeader + chunk + sizes_.cbTrailer);
      std::memcpy(record.data() + sizes_.cbHeader, bytes, chunk);
      SecBuffer buffers[4] = {{sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                              {chunk, SECBUFFER_DATA, record.data() + sizes_.cbHeader},
                              {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + chunk},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      if (EncryptMessage(&context_, 0, &desc, 0) != SEC_E_OK) return false;
      out.append(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
      bytes += chunk;
      length -= static_cast<int>(chunk);
    }
    return true;
  }

  DecryptStatus Decrypt(const void* data, int length, std::string& plain) override {
    if (length > 0) pending_.append(static_cast<const char*>(data), static_cast<size_t>(length));
    while (!pending_.empty()) {
      SecBuffer buffers[4] = {{static_cast<unsigned long>(pending_.size()), SECBUFFER_DATA, pending_.data()},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) return DecryptStatus::Ok;
      // Windows reports the server's close_notify so; Wine's Schannel
      // decrypts it as a record without data (LastRecordWasEmpty).
      if (status == SEC_I_CONTEXT_EXPIRED) return DecryptStatus::Closed;
      if (status != SEC_E_OK) return DecryptStatus::Failed;
      size_t extraFrom = pending_.size();
      lastRecordEmpty_ = true;
      for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
          plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
          lastRecordEmpty_ = false;
        }
        if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0) extraFrom = pending_.size() - buffer.cbBuffer;
      }
      pending_.erase(0, extraFrom);
    }
    return DecryptStatus::Ok;
  }

  bool LastRecordWasEmpty() const override { return lastRecordEmpty_; }

  // Schannel hands nothing over on its own: a renegotiation request ends the
  // session (DecryptMessage's SEC_I_RENEGOTIATE is not answered).
  void TakeOutput(std::string& /*out*/) override {}

  void CloseNotify(std::string& out) override {
    if (!haveContext_) return;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control[1] = {{sizeof type, SECBUFFER_TOKEN, &type}};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, control};
    if (ApplyControlToken(&context_, &controlDesc) != SEC_E_OK) return;
    SecBuffer token[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc tokenDesc{SECBUFFER_VERSION, 1, token};
    unsigned long attributes = 0;
    InitializeSecurityContextW(&credentials_, &context_, host_.data(), kRequest, 0, 0, nullptr, 0, nullptr, &tokenDesc,
                               &attributes, nullptr);
    if (token[0].pvBuffer) {
      out.append(static_cast<const char*>(token[0].pvBuffer), token[0].cbBuffer);
      FreeContextBuffer(token[0].pvBuffer);
    }
  }

  std::string PeerCertificateSha256() const override { return peerSha256_; }

  bool Resumed() const override {
    SecPkgContext_SessionInfo info{};
    return haveContext_ &&
           QueryContextAttributesW(const_cast<CtxtHandle*>(&context_), SECPKG_ATTR_SESSION_INFO, &info) == SEC_E_OK &&
           (info.dwFlags & SSL_SESSION_RECONNECT) != 0;
  }

  std::string Protocol() const override {
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesW(const_cast<CtxtHandle*>(&context_), SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK)
      return {};
    if (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) return "TLSv1.3";
    if (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) return "TLSv1.2";
    return "older";
  }

private:
  static constexpr unsigned long kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                            ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                            ISC_REQ_MANUAL_CRED_VALIDATION;

  // The chain against the trust store, then the name.
  Failure Verify(PCCERT_CONTEXT cert, const std::string& host, std::string& detail) {
    const std::string address = AddressBytes(host);
    LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &chainPara, 0, nullptr, &chain)) {
      detail = "no certificate chain";
      return Failure::NotTrusted;
    }
    HTTPSPolicyCallbackData https{};
    https.cbStruct = sizeof https;
    https.dwAuthType = AUTHTYPE_SERVER;
    // An address is matched below against the certificate's IP entries.
    https.fdwChecks = address.empty() ? 0 : kIgnoreNameMismatch;
    https.pwszServerName = host_.data();
    CERT_CHAIN_POLICY_PARA policyPara{};
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &https;
    CERT_CHAIN_POLICY_STATUS policyStatus{};
    policyStatus.cbSize = sizeof policyStatus;
    BOOL checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &policyStatus);
    CertFreeCertificateChain(chain);
    if (!checked) {
      detail = "the chain could not be checked";
      return Failure::NotTrusted;
    }
    if (policyStatus.dwError != 0) {
      detail = "chain policy " + StatusText(static_cast<SECURITY_STATUS>(policyStatus.dwError));
      return FromPolicyError(policyStatus.dwError);
    }
    if (!address.empty() && !CertificateHasAddress(cert, address)) {
      detail = "the certificate has no IP entry for " + host;
      return Failure::OtherHost;
    }
    return Failure::None;
  }

  std::shared_ptr<Credential> credential_;
  CredHandle credentials_{};  // credential_'s handle
  CtxtHandle context_{};
  bool haveContext_ = false;
  std::wstring host_;
  SecPkgContext_StreamSizes sizes_{};
  std::string pending_;
  bool lastRecordEmpty_ = false;
  std::string peerSha256_;
};

}  // namespace

std::shared_ptr<SessionCache> NewSessionCache() { return std::make_shared<SchannelSessionCache>(); }

std::unique_ptr<Session> NewClientSession() { return std::make_unique<SchannelSession>(); }

}  // namespace platform::tls
