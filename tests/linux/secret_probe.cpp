// The keyring front of the Linux desktop, driven from the linux suite:
//   secret-probe store SERVICE USER   keeps standard input as the secret
//   secret-probe load SERVICE USER    writes the secret to standard output
//   secret-probe erase SERVICE USER
// Prints what the front answered on standard error; exit status 0 done,
// 1 not found, 2 no keyring, 3 failed, 4 usage.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>

#include "platform/secrets.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: secret-probe store|load|erase SERVICE USER\n", stderr);
    return 4;
  }
  const std::string command = argv[1], service = argv[2], user = argv[3];
  platform::TSecretResult result;
  std::string secret;
  if (command == "store") {
    secret.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    result = platform::StoreSecret(service, user, secret);
  } else if (command == "load") {
    result = platform::LoadSecret(service, user, secret);
    if (result == platform::TSecretResult::Done) std::fwrite(secret.data(), 1, secret.size(), stdout);
  } else if (command == "erase") {
    result = platform::EraseSecret(service, user);
  } else {
    std::fputs("usage: secret-probe store|load|erase SERVICE USER\n", stderr);
    return 4;
  }
  static const char* const kSaid[] = {"done", "not found", "no keyring", "failed"};
  const int status = static_cast<int>(result);
  std::fprintf(stderr, "secret-probe: %s\n", kSaid[status]);
  return status;
}
