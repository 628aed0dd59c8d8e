// Schannel trusts what the Root store holds. The test adds its CA to the
// local machine's Root store of the Wine prefix the tests run in (the
// prefix's registry), never to the host's own trust store.
#include <windows.h>
// windows.h first
#include <wincrypt.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "../trust.h"

std::string TrustTestCA(const std::string& pemFile) {
  std::ifstream in(pemFile, std::ios::binary);
  std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (pem.empty()) return "cannot read " + pemFile;
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
    return "not a PEM certificate: " + pemFile;
  std::vector<BYTE> der(size);
  CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr);
  HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (!root) return "cannot open the Root store";
  BOOL added = CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der.data(), size,
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(root, 0);
  return added ? "" : "cannot add the test CA to the Root store";
}

// Schannel hands the request to the caller (SEC_I_RENEGOTIATE), which ends the session.
bool RefusesRenegotiationWithAnAlert() { return false; }

bool OffersTLS13() { return false; }

// Wine's Schannel (GnuTLS underneath) keeps no session cache: every handshake
// is a full one, whatever credential handle it is given. Windows' own resumes
// with the shared handle; run there, this says true.
bool ResumesSessions() { return false; }
