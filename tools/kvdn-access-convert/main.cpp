// kvdn-access-convert: converts an Access database (.mdb, .accdb) into the
// database file the component opens as its Access kind.
//
//   kvdn-access-convert [--force] [--skip-unsupported] [--] SRC DEST
//
// The source is opened read-only. The destination is written under a
// temporary name in its own folder, flushed to the disk and only then
// renamed to DEST: an interrupted or failed run leaves DEST as it was (no
// file, or the old one) and removes the temporary file. An existing DEST is
// replaced only with --force.
//
// The reading runs in a child process with limits on processor time and
// memory: the Access reader trusts the file, and a crafted or damaged file
// that crashes or hangs it ends the child, never the conversion's
// bookkeeping (the temporary file is removed and the failure reported).
//
// Exit status: 0 converted; 1 not converted (the reason on stderr: a source
// that is not an Access file, damaged, truncated or encrypted, a type that
// cannot be carried, a destination that exists or cannot be written); 2 bad
// usage.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

#include "converter.h"
#include "durable_file.h"
#include "kvdn/error.h"
#include "mdb_source.h"

namespace {

namespace fs = std::filesystem;
using namespace kvdn::access;

constexpr int kFailed = 1;
constexpr int kBadUsage = 2;
constexpr const char* kName = "kvdn-access-convert";

void printUsage(std::ostream& out) {
  out << "usage: kvdn-access-convert [--force] [--skip-unsupported] [--] SRC DEST\n"
         "  Converts the Access database SRC (.mdb, .accdb, Access 97 to 2016) into a new\n"
         "  database file DEST that the component opens as its Access kind.\n"
         "  --force             replace DEST when it exists (stop the site using it first)\n"
         "  --skip-unsupported  leave out columns whose type cannot be read (attachments,\n"
         "                      multi-valued fields) instead of refusing the file\n"
         "  --help, --version\n";
}

int usage() {
  printUsage(std::cerr);
  return kBadUsage;
}

// The child's limits, scaled with the source: reading is linear in the
// file, so a budget per megabyte is never reached by a sound file.
void limitChild(std::uintmax_t sourceBytes) {
  auto set = [](int resource, rlim_t value) {
    rlimit limit{value, value};
    ::setrlimit(resource, &limit);
  };
  set(RLIMIT_CORE, 0);
  const std::uintmax_t megabytes = sourceBytes >> 20;
  set(RLIMIT_CPU, static_cast<rlim_t>(120 + 30 * megabytes));
#if defined(__SANITIZE_ADDRESS__)
  constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  constexpr bool kSanitized = true;
#else
  constexpr bool kSanitized = false;
#endif
#else
  constexpr bool kSanitized = false;
#endif
  // The sanitizer reserves terabytes of address space: no limit there.
  if (!kSanitized) set(RLIMIT_AS, static_cast<rlim_t>(4096 + 2 * megabytes) << 20);
}

std::string withCommas(std::uint64_t n) {
  std::string s = std::to_string(n);
  for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3) s.insert(static_cast<std::size_t>(i), ",");
  return s;
}

// Where the child writes its progress and its own messages: the user's
// stderr, kept aside before the reader's stdout and stderr are redirected.
FILE* userErr = stderr;
// Whether a progress line may be open there (a message then starts on a
// line of its own).
bool progressShown = false;

// A progress bar per table on a terminal; nothing otherwise.
ProgressFn terminalProgress() {
  if (!::isatty(::fileno(userErr))) return {};
  return [](const TableDef& table, std::uint64_t done, bool finished) {
    progressShown = !finished;
    constexpr int kWidth = 30;
    const std::uint64_t total = std::max<std::uint64_t>(table.expectedRows, done);
    const int filled = total == 0 ? kWidth : static_cast<int>(done * kWidth / total);
    const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kWidth - filled), '.');
    std::fprintf(userErr, "\r  %-24.24s [%s] %3d%%  %s rows%s", table.name.c_str(), bar.c_str(), percent,
                 withCommas(done).c_str(), finished ? "\n" : "");
    std::fflush(userErr);
  };
}

std::string plural(int n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string summaryOf(const std::string& src, const std::string& dest, const std::string& format,
                      const ConvertReport& report, const LeftBehind& lb) {
  std::ostringstream out;
  out << "Converted " << src << " (" << format << ") into " << dest << "\n";
  auto rows = [](std::uint64_t n) { return withCommas(n) + (n == 1 ? " row" : " rows"); };
  for (const TableReport& t : report.tables) out << "  " << t.name << ": " << rows(t.rows) << "\n";
  out << report.tables.size() << (report.tables.size() == 1 ? " table, " : " tables, ") << rows(report.rows)
      << ".\n";
  out << "Not carried: " << plural(lb.queries, "query", "queries") << ", "
      << plural(lb.relations, "relation", "relations") << ", " << plural(lb.forms, "form", "forms") << ", "
      << plural(lb.reports, "report", "reports") << ", " << plural(lb.macros, "macro", "macros") << ", "
      << plural(lb.modules, "module", "modules") << " (code), "
      << plural(lb.linkedTables, "linked table", "linked tables") << ".\n";
  bool notes = false;
  for (const TableReport& t : report.tables) {
    for (const std::string& note : t.notes) {
      if (!notes) out << "Notes:\n";
      notes = true;
      out << "  " << t.name << ": " << note << "\n";
    }
  }
  return out.str();
}

// The child: reads SRC, writes the temporary file, sends the summary
// through `pipeFd`. Returns the exit status.
int convertInChild(const std::string& src, const std::string& dest, const std::string& temp,
                   const ConvertOptions& options, int pipeFd) {
  try {
    auto source = openMdbSource(src);
    const std::string format = mdbFormatName(*source);
    ConvertReport report = convertToSqlite(*source, temp, options, terminalProgress());
    const std::string summary = summaryOf(src, dest, format, report, source->leftBehind());
    std::size_t written = 0;
    while (written < summary.size()) {
      const ssize_t n = ::write(pipeFd, summary.data() + written, summary.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return kFailed;
      written += static_cast<std::size_t>(n);
    }
    return 0;
  } catch (const SourceError& e) {
    std::fprintf(userErr, "%s%s: %s: %s\n", progressShown ? "\n" : "", kName, src.c_str(), e.what());
  } catch (const std::exception& e) {
    std::fprintf(userErr, "%s%s: %s\n", progressShown ? "\n" : "", kName, e.what());
  }
  return kFailed;
}

// Renames `from` to `to` unless `to` exists, atomically (a plain rename
// would replace a file that appeared meanwhile). False with errno set.
bool renameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without that rename: a hard link refuses an existing
  // name as well.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

volatile pid_t childPid = 0;

void forwardToChild(int sig) {
  if (childPid > 0) ::kill(childPid, sig);
}

void removeTemporary(const std::string& temp) {
  std::error_code ec;
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) fs::remove(temp + suffix, ec);
}

int run(int argc, char** argv) {
  bool force = false;
  ConvertOptions options;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      printUsage(std::cout);
      return 0;
    } else if (arg == "--version") {
      std::cout << kName << " " KVDN_VERSION "\n";
      return 0;
    } else if (arg == "--force") {
      force = true;
    } else if (arg == "--skip-unsupported") {
      options.skipUnsupported = true;
    } else if (arg == "--") {
      for (++i; i < argc; ++i) paths.emplace_back(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::cerr << kName << ": unknown option " << arg << "\n";
      return usage();
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.size() != 2) return usage();
  const std::string src = paths[0];
  const std::string dest = paths[1];
  auto fail = [](const std::string& message) {
    std::cerr << kName << ": " << message << "\n";
    return kFailed;
  };

  std::error_code ec;
  if (!fs::exists(src, ec)) return fail(src + ": no such file");
  if (!fs::is_regular_file(src, ec)) return fail(src + ": not a file");
  const auto destStatus = fs::symlink_status(dest, ec);
  if (fs::exists(destStatus)) {
    if (fs::equivalent(src, dest, ec))
      return fail(dest + " is the source itself; the source is never written");
    if (fs::is_directory(fs::status(dest, ec)))
      return fail(dest + " is a folder; name the new database file");
    if (!force) return fail(dest + " exists; --force replaces it");
  }
  // A log left beside the name by a database that was removed would be
  // replayed over the new file by the first connection.
  for (const char* suffix : {"-wal", "-journal"}) {
    if (!force && fs::exists(fs::symlink_status(dest + suffix, ec))) {
      return fail(dest + suffix +
                  " exists (the log of an earlier database of that name); --force removes it");
    }
  }
  const fs::path folder = fs::absolute(dest, ec).parent_path();
  if (!fs::is_directory(folder, ec)) return fail(folder.string() + ": no such folder");

  // The temporary file: in DEST's folder (so that the rename is atomic),
  // under a name no other run uses.
  std::string temp;
  try {
    for (unsigned attempt = 0; temp.empty(); ++attempt) {
      const std::string candidate = (folder / (fs::path(dest).filename().string() + ".converting-" +
                                               std::to_string(::getpid()) + "-" + std::to_string(attempt)))
                                        .string();
      if (kvdn::platform::createNewFile(candidate)) temp = candidate;
      if (attempt > 100) return fail("cannot find a free temporary name in " + folder.string());
    }
  } catch (const kvdn::ComError& e) {
    return fail("cannot write in " + folder.string() + ": " + e.description());
  }

  // Two pipes from the child: the summary, and whatever the reader prints
  // (libmdb writes warnings and dumps to stdout and stderr, endlessly on
  // some damaged files).
  int summaryPipe[2];
  int readerPipe[2];
  if (::pipe(summaryPipe) != 0 || ::pipe(readerPipe) != 0) {
    removeTemporary(temp);
    return fail(std::string("pipe: ") + std::strerror(errno));
  }
  std::cout.flush();
  std::cerr.flush();
  const pid_t child = ::fork();
  if (child < 0) {
    removeTemporary(temp);
    return fail(std::string("fork: ") + std::strerror(errno));
  }
  if (child == 0) {
    ::close(summaryPipe[0]);
    ::close(readerPipe[0]);
    const int mine = ::dup(STDERR_FILENO);
    if (mine >= 0) userErr = ::fdopen(mine, "w");
    if (!userErr) userErr = stderr;
    ::dup2(readerPipe[1], STDOUT_FILENO);
    ::dup2(readerPipe[1], STDERR_FILENO);
    ::close(readerPipe[1]);
    limitChild(fs::file_size(src, ec));
    const int status = convertInChild(src, dest, temp, options, summaryPipe[1]);
    std::fflush(nullptr);
    ::_exit(status);
  }
  // An interrupt or a request to stop ends the child; this process stays
  // to remove the temporary file.
  childPid = child;
  struct sigaction forward = {};
  forward.sa_handler = forwardToChild;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &forward, nullptr);
  ::close(summaryPipe[1]);
  ::close(readerPipe[1]);
  std::string summary;
  std::string readerSaid;  // the first of it; the rest is counted
  std::uint64_t readerBytes = 0;
  constexpr std::size_t kKeptReaderBytes = 4096;
  pollfd fds[2] = {{summaryPipe[0], POLLIN, 0}, {readerPipe[0], POLLIN, 0}};
  int open = 2;
  char buf[4096];
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (pollfd& f : fds) {
      if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(f.fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ::close(f.fd);
        f.fd = -1;
        --open;
        continue;
      }
      const auto got = static_cast<std::size_t>(n);
      if (f.fd == summaryPipe[0]) {
        if (summary.size() < (std::size_t{16} << 20)) summary.append(buf, got);
      } else {
        readerBytes += got;
        if (readerSaid.size() < kKeptReaderBytes)
          readerSaid.append(buf, std::min(got, kKeptReaderBytes - readerSaid.size()));
      }
    }
  }
  int raw = 0;
  while (::waitpid(child, &raw, 0) < 0 && errno == EINTR) {
  }
  // What the reader printed, its first lines: they tell where the file is
  // damaged.
  if (readerBytes > 0) {
    constexpr int kShownLines = 10;
    std::cerr << kName << ": the Access reader reported:\n";
    std::istringstream lines(readerSaid);
    std::size_t shown = 0;
    std::string line;
    for (int i = 0; i < kShownLines && std::getline(lines, line); ++i) {
      std::cerr << "  " << line << "\n";
      shown += line.size() + 1;
    }
    if (readerBytes > shown)
      std::cerr << "  (and " << withCommas(readerBytes - std::min<std::uint64_t>(shown, readerBytes))
                << " bytes more)\n";
  }
  if (!WIFEXITED(raw) || WEXITSTATUS(raw) != 0) {
    removeTemporary(temp);
    if (WIFSIGNALED(raw)) {
      const int sig = WTERMSIG(raw);
      if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) return fail("interrupted; nothing was written");
      const std::string why = sig == SIGXCPU ? std::string("it ran out of its processor time")
                                             : std::string("it stopped on signal ") + std::to_string(sig) +
                                                   " (" + ::strsignal(sig) + ")";
      return fail(src + ": the Access reader failed on this file (" + why +
                  "); the file is damaged or not an Access database. Nothing was written.");
    }
    if (WIFEXITED(raw) && WEXITSTATUS(raw) == kFailed) {
      std::cerr << kName << ": nothing was written\n";
    }
    return kFailed;
  }

  try {
    kvdn::platform::syncFile(temp);
    if (force) {
      // The old file's log would be replayed over the new file.
      for (const char* suffix : {"-wal", "-shm", "-journal"}) fs::remove(dest + suffix, ec);
      fs::rename(temp, dest);
    } else if (!renameNoReplace(temp, dest)) {
      const int error = errno;
      removeTemporary(temp);
      return fail(error == EEXIST ? dest + " appeared during the conversion; --force replaces it"
                                  : dest + ": " + std::strerror(error));
    }
    kvdn::platform::syncFolderOf(dest);
  } catch (const std::exception& e) {
    removeTemporary(temp);
    return fail(dest + ": " + e.what());
  }
  std::cout << summary;
  std::cout.flush();
  return std::cout ? 0 : kFailed;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << kName << ": " << e.what() << "\n";
    return kFailed;
  }
}
