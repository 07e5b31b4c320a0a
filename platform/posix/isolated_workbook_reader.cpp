#include "isolated_workbook_reader.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "kvdn/error.h"
#include "workbook_wire.h"

extern char** environ;

namespace kvdn {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kHelperName = "kvdn-xls-reader";

[[noreturn]] void unreadable(const std::string& path, const std::string& what) {
  raise(err::kDbFail, "External table is not in the expected format: '" + path + "' (" + what + ")");
}

class Fd {
 public:
  Fd() = default;
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int* put() { return &fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// The child until it is reaped: an exception on the way (a failed
// allocation) must neither leave it running nor leave a zombie.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Waits for the exit until `deadline`. Returns false on timeout (the child
  // still runs). `status` stays -1 when the child was reaped by someone
  // else (a host that ignores SIGCHLD).
  bool waitUntil(Clock::time_point deadline, int& status) {
    status = -1;
    // The child exits right after closing its output: look again soon, then
    // less often.
    auto pause = std::chrono::microseconds(50);
    for (;;) {
      int s = 0;
      const pid_t r = ::waitpid(pid_, &s, WNOHANG);
      if (r == pid_) {
        status = s;
        pid_ = -1;
        return true;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {  // ECHILD: nothing left to reap
        pid_ = -1;
        return true;
      }
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(pause);
      pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(1));
    }
  }
  // Kills and reaps.
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

std::string signalName(int sig) {
  switch (sig) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGABRT:
      return "SIGABRT";
    case SIGFPE:
      return "SIGFPE";
    case SIGILL:
      return "SIGILL";
    case SIGKILL:
      return "SIGKILL";
    case SIGXCPU:
      return "SIGXCPU";
    default:
      return "signal " + std::to_string(sig);
  }
}

bool isExecutable(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0;
}

// Spawn helpers: each returns 0 or an error number, as posix_spawn does.
class SpawnSetup {
 public:
  SpawnSetup() {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawnattr_init(&attr_);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  int prepare(int output) {
    int rc = ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions_, output, 1);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Descriptors another thread opened without close-on-exec (sockets of
    // clients) must not stay open in the child.
    if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
#endif
    // The host may block or ignore signals (SIGPIPE, typically); the child
    // starts with none blocked and the ones that end it at their defaults.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGXCPU, SIGXFSZ, SIGSEGV, SIGBUS, SIGABRT, SIGTERM, SIGINT, SIGHUP, SIGCHLD})
      sigaddset(&defaults, sig);
    if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attr_, &none);
    if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr_, &defaults);
    if (rc == 0) rc = ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    return rc;
  }
  const posix_spawn_file_actions_t* actions() const {
    return &actions_;
  }
  const posix_spawnattr_t* attr() const {
    return &attr_;
  }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

}  // namespace

std::string defaultXlsReaderPath() {
  if (const char* configured = std::getenv("KVDN_XLS_READER"); configured && *configured) return configured;
  std::vector<fs::path> folders;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&defaultXlsReaderPath), &info) && info.dli_fname && *info.dli_fname) {
    std::error_code ec;
    fs::path module = fs::canonical(fs::path(info.dli_fname), ec);
    if (!ec) folders.push_back(module.parent_path());
  }
  {
    // The program itself, when the library is linked into it statically
    // (dladdr then names the program as it was started, maybe relatively).
    std::error_code ec;
    fs::path program = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) folders.push_back(program.parent_path());
  }
  for (const auto& folder : folders) {
    for (const fs::path& candidate : {folder / kHelperName, folder / ".." / "bin" / kHelperName,
                                      folder / ".." / "libexec" / "kvdnAspDll" / kHelperName}) {
      if (isExecutable(candidate)) return candidate.lexically_normal().string();
    }
  }
  return folders.empty() ? std::string(kHelperName) : (folders.front() / kHelperName).string();
}

IsolatedWorkbookReader::IsolatedWorkbookReader(WorkbookIsolation isolation)
    : isolation_(std::move(isolation)) {
  if (isolation_.helperPath.empty()) isolation_.helperPath = defaultXlsReaderPath();
  isolation_.cpuSeconds = std::max(1u, isolation_.cpuSeconds);
}

WorkbookContent IsolatedWorkbookReader::read(const std::string& path) {
  const auto deadline = Clock::now() + isolation_.timeout;
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
    raise(err::kDbFail, std::string("The spreadsheet reader cannot be started: ") + std::strerror(errno));
  }
  Fd readEnd;
  Fd writeEnd;
  *readEnd.put() = pipeEnds[0];
  *writeEnd.put() = pipeEnds[1];

  SpawnSetup setup;
  int rc = setup.prepare(writeEnd.get());
  const std::vector<std::string> args = {isolation_.helperPath,
                                         "--memory-mib",
                                         std::to_string(isolation_.memoryMiB),
                                         "--cpu-seconds",
                                         std::to_string(isolation_.cpuSeconds),
                                         "--",
                                         path};
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (rc == 0)
    rc = ::posix_spawn(&pid, isolation_.helperPath.c_str(), setup.actions(), setup.attr(), argv.data(),
                       environ);
  if (rc != 0) {
    raise(err::kDbFail,
          "The spreadsheet reader cannot be started: " + isolation_.helperPath + ": " + std::strerror(rc));
  }
  Child child(pid);
  writeEnd.reset();  // the child holds the only write end now: its exit is our end of file

  std::string bytes;
  bool timedOut = false;
  bool tooLarge = false;
  char buffer[1 << 16];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd pfd{readEnd.get(), POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0)
      unreadable(path, std::string("waiting for the spreadsheet reader: ") + std::strerror(errno));
    if (ready == 0) continue;
    const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) unreadable(path, std::string("reading from the spreadsheet reader: ") + std::strerror(errno));
    if (n == 0) break;
    if (bytes.size() + static_cast<std::size_t>(n) > isolation_.maxContentBytes) {
      tooLarge = true;
      break;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  int status = -1;
  if (!timedOut && !tooLarge && !child.waitUntil(deadline, status)) timedOut = true;
  if (timedOut || tooLarge) child.stop();
  if (timedOut) {
    unreadable(path, "the spreadsheet reader did not finish within " +
                         std::to_string(isolation_.timeout.count()) + " ms and was stopped");
  }
  if (tooLarge) {
    unreadable(path, "the workbook's content is larger than " + std::to_string(isolation_.maxContentBytes) +
                         " bytes");
  }
  if (status != -1 && WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    if (sig == SIGXCPU || sig == SIGKILL) {
      unreadable(path, "the spreadsheet reader used more than its " + std::to_string(isolation_.cpuSeconds) +
                           " s of processor time or was killed (" + signalName(sig) + ")");
    }
    unreadable(path, "the spreadsheet reader crashed on it (" + signalName(sig) + ")");
  }
  if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    unreadable(path, "the spreadsheet reader failed with exit status " + std::to_string(WEXITSTATUS(status)));
  }
  return xls::decodeWorkbook(bytes, path);
}

std::shared_ptr<WorkbookReader> makeSystemWorkbookReader() {
  return std::make_shared<IsolatedWorkbookReader>();
}

}  // namespace kvdn
