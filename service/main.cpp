// pinleaf-server: a small, self-hostable note service for the text snap client.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include "service/operator.h"
#include "service/options.h"
#include "service/server.h"
#include "service/store.h"
#include "service/tls.h"

namespace {

int Run(const pinleaf::TOptions& options) {
  // Signals are taken by sigwait below, never by a handler, so stopping runs on
  // an ordinary thread. The mask is set before any thread starts, so every
  // server thread inherits it. SIGUSR1 is how the serving thread says it ended.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A client that hangs up mid-answer must not end the process.
  signal(SIGPIPE, SIG_IGN);

  if (std::string refused = pinleaf::CheckTransport(options); !refused.empty()) {
    std::cerr << "pinleaf-server: " << refused << "\n";
    return 2;
  }
  if (!options.tls_cert.empty()) {
    if (std::string bad = pinleaf::CheckCertificateAndKey(options.tls_cert, options.tls_key); !bad.empty()) {
      std::cerr << "pinleaf-server: " << bad << "\n";
      return 2;
    }
  }
  // Large blocks (request bodies, password hashes' working memory) are mapped
  // and given back when freed, instead of staying in the workers' heaps: the
  // process's size then follows the requests in hand, not the largest ever seen.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  // Up to a thousand open connections need as many descriptors: take what the system allows.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  // The database, its journals and anything else this process creates are for its owner only.
  umask(077);
  std::vector<std::string> passwords;
  if (!options.add_users.empty()) {
    std::string error;
    if (options.password_file.empty()) {
      error = pinleaf::ReadPasswords(std::cin, options, passwords);
    } else {
      std::ifstream file(options.password_file);
      error = file ? pinleaf::ReadPasswords(file, options, passwords) : "cannot read " + options.password_file;
    }
    if (!error.empty()) {
      std::cerr << "pinleaf-server: " << error << "\n";
      return 2;
    }
  }

  pinleaf::TStoreSettings data{options.db, {}, options.db_pool};
  if (!options.db_password_file.empty()) {
    std::ifstream file(options.db_password_file);
    std::getline(file, data.password);
    if (!data.password.empty() && data.password.back() == '\r') data.password.pop_back();
    if (data.password.empty()) {
      std::cerr << "pinleaf-server: no password on the first line of " << options.db_password_file << "\n";
      return 2;
    }
  }

  try {
    pinleaf::TNoteStore store(data);
    for (size_t i = 0; i < options.add_users.size(); ++i) {
      const std::string& name = options.add_users[i];
      const std::string& password = passwords[i];
      if (store.CreateUser(name, password)) {
        std::cerr << "pinleaf-server: created account " << pinleaf::LogEscape(name) << "\n";
      } else if (store.CheckLogin(name, password)) {
        // Unchanged: keep its sign-ins, so a script may pass the same account at every start.
        std::cerr << "pinleaf-server: account " << pinleaf::LogEscape(name) << " exists\n";
      } else {
        store.SetPassword(name, password);
        std::cerr << "pinleaf-server: set a new password for account " << pinleaf::LogEscape(name) << "\n";
      }
    }

    pinleaf::TServerSettings settings;
    settings.tls = {options.tls_cert, options.tls_key};
    settings.public_names = options.public_names;
    settings.trusted_proxies = options.trusted_proxies;
    settings.sign_up_open = options.sign_up_open;
    settings.limits.head_timeout_ms = options.head_timeout_s * 1000;
    settings.limits.max_per_address = static_cast<size_t>(options.max_per_address);
    settings.limits.workers = static_cast<size_t>(options.workers);
    pinleaf::TPinleafServer server(store, options.base, settings);
    std::mutex log_lock;
    server.log = [&log_lock](const std::string& line) {
      std::lock_guard guard(log_lock);
      std::cerr << line << "\n";
    };
    int port = server.Bind(options.bind, options.port);
    if (port < 0) {
      std::cerr << "pinleaf-server: cannot listen on " << options.bind << ":" << options.port
                << " (address in use or not available)\n";
      return 1;
    }
    // An IPv6 address goes in brackets, so the printed URL can be used as it stands.
    std::string host = options.bind.find(':') == std::string::npos ? options.bind : "[" + options.bind + "]";
    std::cout << "pinleaf-server listening on " << (options.tls_cert.empty() ? "http" : "https") << "://" << host << ":"
              << port << options.base << std::endl;

    std::atomic<bool> stopping{false};
    pid_t self = getpid();
    std::thread serving([&] {
      server.Serve();
      if (!stopping) kill(self, SIGUSR1);
    });
    int signal_number = 0;
    sigwait(&signals, &signal_number);
    stopping = true;
    server.Stop();
    serving.join();
    if (signal_number == SIGUSR1) {
      std::cerr << "pinleaf-server: serving stopped unexpectedly\n";
      return 1;
    }
    std::cerr << "pinleaf-server: stopped\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "pinleaf-server: " << pinleaf::LogEscape(e.what()) << "\n";
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && pinleaf::IsOperatorCommand(argv[1])) {
    // Whatever a command writes (an export, a backup) is its owner's alone.
    umask(077);
    signal(SIGPIPE, SIG_IGN);
    return pinleaf::RunOperatorCommand(std::vector<std::string>(argv + 1, argv + argc), std::cin, std::cout, std::cerr);
  }
  pinleaf::TOptions options;
  std::string error = pinleaf::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options);
  if (!error.empty()) {
    std::cerr << "pinleaf-server: " << error << "\n" << pinleaf::Usage();
    return 2;
  }
  if (options.help) {
    std::cout << pinleaf::Usage() << pinleaf::OperatorUsage();
    return 0;
  }
  return Run(options);
}
