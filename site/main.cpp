// kvdn-site: the sample back-office site over the HTTP page host.
//
//   kvdn-site [--root DIR] [--address ADDR] [--port N] [--threads N] [--odbc CONNECTION]
//             [--shared-sessions] [--trusted-proxy ADDR] [--secure-cookies] [--host NAME ...]
//             [--no-pinyin]
//   kvdn-site [--root DIR] --list-backups | --restore NAME
//
// The root holds static/ and admin/database/ (see site.h). The database is
// made with sample rows on first start; a database file that cannot be used
// (damaged) does not stop the start: every page answers the 503 page, which
// says how to recover: --list-backups and --restore NAME, with the site
// stopped, put a backup in place (the damaged file is kept beside it). --odbc (or the environment variable
// KVDN_SITE_ODBC) puts the pages on a PostgreSQL database through ODBC
// instead of the file; its tables are made there when missing. --port 0
// picks a free port; the address line printed at start names the port
// actually bound. A port in use is an error (exit status 1).
// --shared-sessions (with --odbc) keeps sessions and the login throttle in
// that database, so that several kvdn-site processes behind a load
// balancer serve one site. SIGTERM or
// SIGINT stop the server within a second, letting requests in flight finish.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "kvdn/error.h"
#include "kvdn/http_host.h"
#include "site.h"

#ifndef KVDN_SITE_DEFAULT_ROOT
#define KVDN_SITE_DEFAULT_ROOT "site"
#endif

namespace {

// The request log's lines of the batch being written: touched only by the
// log's own thread (requestLog, then requestLogFlush).
std::string logLines;

void usage(std::ostream& out) {
  out << "usage: kvdn-site [--root DIR] [--address ADDR] [--port N] [--threads N]\n"
         "  --root     site root holding static/ and admin/ (default " KVDN_SITE_DEFAULT_ROOT
         ")\n"
         "  --address  address to listen on (default 127.0.0.1)\n"
         "  --port     port (default 8080; 0 picks a free one)\n"
         "  --threads  page threads: pages running at once (default 8)\n"
         "  --inline-page-us N  a page whose runs take at most N microseconds runs on the server\n"
         "             thread that read its request, without a hand-over (default 500; 0: never)\n"
         "  --odbc     ODBC connection string of a PostgreSQL database to use instead of the\n"
         "             file (default: $KVDN_SITE_ODBC), e.g. \"Driver={PostgreSQL Unicode};\n"
         "             Server=127.0.0.1;Port=5432;Database=site;Uid=web;Pwd=...\"\n"
         "  --shared-sessions  keep sessions and failed-login counts in the --odbc database,\n"
         "             so that several kvdn-site processes (behind a load balancer) serve one site\n"
         "  --trusted-proxy ADDR  the reverse proxy at ADDR: failed-login counts and the audit\n"
         "             trail take the client's address from the X-Forwarded-For it adds, and its\n"
         "             connections are not limited per address\n"
         "  --secure-cookies  the site is reached over HTTPS (a TLS proxy in front): mark the\n"
         "             session cookie Secure\n"
         "  --host NAME  a name the site is reached by (repeatable); requests naming another host\n"
         "             are answered 421 (default: the --address, localhost and 127.0.0.1)\n"
         "  --no-pinyin  sort names by character code instead of pinyin (ICU's Chinese order)\n"
         "  --list-backups  list the backups of the database file, newest first, and exit\n"
         "  --restore NAME  with the site stopped: put backup NAME in place of the database file\n"
         "             (the file there is kept as app.mdb.damaged-DATE-TIME) and exit\n"
         "  --help, --version\n";
}

bool parseInt(const char* text, int low, int high, int& out) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  out = static_cast<int>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  kvdn::HttpHostOptions options;
  options.siteRoot = KVDN_SITE_DEFAULT_ROOT;
  const char* odbcDefault = std::getenv("KVDN_SITE_ODBC");
  std::string odbc = odbcDefault ? odbcDefault : "";
  bool sharedSessions = false;
  bool pinyin = true;
  bool listBackups = false;
  std::vector<std::string> hostNames;
  std::string restore;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--root" && hasValue) {
      options.siteRoot = argv[++i];
    } else if (arg == "--address" && hasValue) {
      options.address = argv[++i];
    } else if (arg == "--port" && hasValue) {
      if (!parseInt(argv[++i], 0, 65535, options.port)) {
        std::cerr << "kvdn-site: bad port: " << argv[i] << "\n";
        return 2;
      }
    } else if (arg == "--host" && hasValue) {
      hostNames.push_back(argv[++i]);
    } else if (arg == "--secure-cookies") {
      options.secureCookies = true;
    } else if (arg == "--trusted-proxy" && hasValue) {
      if (!site::setTrustedProxy(argv[++i])) {
        std::cerr << "kvdn-site: not a numeric address: " << argv[i] << "\n";
        return 2;
      }
      // The proxy carries every visitor's connections: no per-address limit.
      options.unlimitedAddresses = {argv[i]};
    } else if (arg == "--list-backups") {
      listBackups = true;
    } else if (arg == "--restore" && hasValue) {
      restore = argv[++i];
    } else if (arg == "--shared-sessions") {
      sharedSessions = true;
    } else if (arg == "--no-pinyin") {
      pinyin = false;
    } else if (arg == "--odbc" && hasValue) {
      odbc = argv[++i];
    } else if (arg == "--threads" && hasValue) {
      if (!parseInt(argv[++i], 1, 256, options.threads)) {
        std::cerr << "kvdn-site: bad thread count: " << argv[i] << "\n";
        return 2;
      }
    } else if (arg == "--inline-page-us" && hasValue) {
      int micros = 0;
      if (!parseInt(argv[++i], 0, 1000000, micros)) {
        std::cerr << "kvdn-site: bad --inline-page-us: " << argv[i] << "\n";
        return 2;
      }
      options.inlinePageMicros = static_cast<std::uint32_t>(micros);
    } else if (arg == "--help" || arg == "-h") {
      usage(std::cout);
      return 0;
    } else if (arg == "--version") {
      std::cout << "kvdn-site " KVDN_VERSION "\n";
      return 0;
    } else {
      usage(std::cerr);
      return 2;
    }
  }
  // The names the site answers to: the listen address and the loopback
  // names, and those given with --host (the names a proxy in front passes
  // on, the machine's name in the network).
  options.hostNames = {options.address, "localhost", "127.0.0.1"};
  options.hostNames.insert(options.hostNames.end(), hostNames.begin(), hostNames.end());
  if (!std::filesystem::is_directory(options.siteRoot / "static")) {
    std::cerr << "kvdn-site: " << options.siteRoot.string()
              << " is no site root (it has no static/ folder)\n";
    return 1;
  }
  if (listBackups) {
    const auto backups = site::listBackupFiles(options.siteRoot);
    if (backups.empty())
      std::cout << "kvdn-site: no backups in " << site::databaseFile(options.siteRoot).parent_path().string()
                << "\n";
    for (const site::BackupFile& b : backups) std::cout << b.name << "  " << b.size << " bytes\n";
    return 0;
  }
  if (!restore.empty()) {
    try {
      const std::string kept = site::restoreOffline(options.siteRoot, restore);
      if (!kept.empty()) std::cout << "kvdn-site: the database file was kept as " << kept << "\n";
      site::ensureDatabase(options.siteRoot);
      std::cout << "kvdn-site: restored the database from " << restore << "\n";
      return 0;
    } catch (const kvdn::ComError& e) {
      std::cerr << "kvdn-site: cannot restore " << restore << ": error " << e.number() << ": "
                << e.description() << "\n";
      return 1;
    }
  }
  // Names in pinyin order on the database file (ICU), unless switched off.
  if (pinyin && !site::usePinyinOrder(true))
    std::cerr << "kvdn-site: ICU has no Chinese collator: names are sorted by character code\n";
  if (sharedSessions && odbc.empty()) {
    std::cerr << "kvdn-site: --shared-sessions needs a server database (--odbc)\n";
    return 2;
  }
  try {
    if (!odbc.empty()) {
      site::useServerDatabase(odbc);
      if (site::ensureServerDatabase(odbc))
        std::cout << "kvdn-site: made the tables on the server database\n";
      std::cout << "kvdn-site: pages use the server database (ODBC)\n";
      if (sharedSessions) {
        options.sessionStore = kvdn::makeDatabaseSessionStore(
            odbc, options.sessionTimeout, options.maxSessions, "account", options.maxSessionsPerOwner);
        site::loginThrottle().useDatabase(odbc);
        std::cout << "kvdn-site: sessions and failed logins are kept in the server database\n";
      }
    } else {
      for (const std::string& name : site::removeLeftovers(options.siteRoot))
        std::cout << "kvdn-site: removed " << name << ", left by a backup, restore or compaction cut off\n";
      try {
        if (site::ensureDatabase(options.siteRoot))
          std::cout << "kvdn-site: made the database " << site::databaseFile(options.siteRoot).string()
                    << "\n";
      } catch (const kvdn::ComError& e) {
        // Served anyway: its 503 page tells how to recover, and the pages
        // answer again once the file is mended.
        std::cerr << "kvdn-site: the database " << site::databaseFile(options.siteRoot).string()
                  << " cannot be used: error " << e.number() << ": " << e.description()
                  << "\nkvdn-site: every page answers 503 until it is mended; to restore a backup, stop the "
                     "site and run: kvdn-site --root "
                  << options.siteRoot.string() << " --list-backups, then --restore NAME" << std::endl;
      }
    }
  } catch (const kvdn::ComError& e) {
    std::cerr << "kvdn-site: cannot make the database: error " << e.number() << ": " << e.description()
              << "\n";
    return 1;
  }

  // SIGINT and SIGTERM stop the server from a thread of their own; every
  // other thread (the host's workers included) inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  // Every open connection is a descriptor: allow as many as the system lets
  // this process have, so that many idle browsers do not crowd out others.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
      files.rlim_cur < options.maxConnections + 64) {
    options.maxConnections = files.rlim_cur > 128 ? static_cast<unsigned>(files.rlim_cur - 64) : 64;
  }

  // One line per request on stderr, as operators expect of a server:
  // time (UTC), address, user, method, path, status, milliseconds.
  options.logUserKey = "account";
  // An account holder logging in again and again drops only the account's
  // own oldest sessions, never anyone else's.
  options.sessionOwnerKey = "account";
  options.requestLog = [](const kvdn::RequestRecord& r) {
    const std::time_t when = std::chrono::system_clock::to_time_t(r.time);
    std::tm utc{};
    gmtime_r(&when, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    if (r.droppedBefore > 0)
      logLines += std::string(stamp) + " kvdn-site: " + std::to_string(r.droppedBefore) +
                  " request log lines dropped (the log was not read fast enough)\n";
    std::string line = std::string(stamp) + " " + (r.address.empty() ? "-" : r.address) + " " +
                       (r.user.empty() ? "-" : r.user) + " " + r.method + " " + r.path + " " +
                       std::to_string(r.status) + " " + std::to_string(r.milliseconds) + "ms\n";
    // The path is the client's text: no line breaks or controls in the log.
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
      if (static_cast<unsigned char>(line[i]) < 0x20) line[i] = '?';
    }
    logLines += line;
  };
  // One write for each batch of lines, not one for each line.
  options.requestLogFlush = [] {
    std::cerr.write(logLines.data(), static_cast<std::streamsize>(logLines.size()));
    std::cerr.flush();
    logLines.clear();
  };
  options.errorPage = [](int status, const std::string& path) { return site::errorPage(status, path); };
  kvdn::HttpHost host(options);
  site::registerPages(host);
  if (!host.bind()) return 1;

  std::thread waiter([&host, stopSignals] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    host.stop();
  });
  waiter.detach();

  std::cout << "kvdn-site: serving " << std::filesystem::absolute(options.siteRoot).string() << "\n"
            << "kvdn-site: open http://" << options.address << ":" << host.port() << "/admin/login.asp\n"
            << "kvdn-site: administrator login: " << site::kAdminAccount << " / " << site::kAdminPassword
            << "\n"
            << "kvdn-site: operator login (fewer rights): " << site::kOperatorAccount << " / "
            << site::kOperatorPassword << "\n"
            << "kvdn-site: stop with Ctrl+C" << std::endl;
  const bool ok = host.serve();
  std::cout << "kvdn-site: stopped" << std::endl;
  return ok ? 0 : 1;
}
