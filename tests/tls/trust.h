// How a test run makes the system trust its own CA, without touching the
// machine's trust store. Returns an empty text, or why it failed.
#pragma once

#include <string>

std::string TrustTestCA(const std::string& pemFile);

// Whether the platform's TLS answers a server's request to renegotiate with a
// refusal of its own (a no_renegotiation alert) rather than by ending the
// session without a word.
bool RefusesRenegotiationWithAnAlert();

// Whether the client offers TLS 1.3 (our Schannel credential asks for TLS 1.2 only).
bool OffersTLS13();

// Whether the platform's TLS resumes kept sessions with our servers.
bool ResumesSessions();
