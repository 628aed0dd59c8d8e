// The certificate and key pinleaf-server serves HTTPS with.
#pragma once

#include <string>

namespace pinleaf {

// Whether `certFile` holds a PEM certificate and `keyFile` its private key:
// empty when they can be served, else what is wrong, in words for the operator.
std::string CheckCertificateAndKey(const std::string& certFile, const std::string& keyFile);

}  // namespace pinleaf
