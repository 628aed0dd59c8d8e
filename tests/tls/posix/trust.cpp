// OpenSSL takes the trust store from SSL_CERT_FILE when it is set: the test
// process points it at the CA of its run.
#include <cstdlib>

#include "../trust.h"

std::string TrustTestCA(const std::string& pemFile) {
  if (setenv("SSL_CERT_FILE", pemFile.c_str(), 1) != 0) return "setenv failed";
  return "";
}

// OpenSSL sends no_renegotiation.
bool RefusesRenegotiationWithAnAlert() { return true; }

bool OffersTLS13() { return true; }

bool ResumesSessions() { return true; }
