// kvdn-xls-reader: parses one legacy .xls workbook and writes its content
// (xls/workbook_wire.h) to standard output. IsolatedWorkbookReader starts it
// for every workbook the server reads, so that a file that crashes or hangs
// the parser costs this process only.
//
// usage: kvdn-xls-reader [--memory-mib N] [--cpu-seconds N] [--] FILE
//
// It limits itself before it opens the file: address space (N MiB, 0 for
// none), processor time, no core file, no file writes. Exit status 0 with
// the content, or a failure the parser reported, on standard output; 2 for
// bad usage or limits that cannot be set; a crash shows as a signal.
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "kvdn/error.h"
#include "workbook.h"
#include "workbook_wire.h"

#if defined(__SANITIZE_ADDRESS__)
#define KVDN_XLS_READER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVDN_XLS_READER_ASAN 1
#endif
#endif

namespace {

bool setLimit(int resource, rlim_t soft, rlim_t hard) {
  rlimit limit{soft, hard};
  return ::setrlimit(resource, &limit) == 0;
}

bool parseCount(const char* text, unsigned long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoul(text, &end, 10);
  return errno == 0 && end && end != text && *end == '\0';
}

int usage() {
  std::fprintf(stderr, "usage: kvdn-xls-reader [--memory-mib N] [--cpu-seconds N] [--] FILE\n");
  return 2;
}

bool writeAll(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(1, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long memoryMiB = 1024;
  unsigned long cpuSeconds = 10;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "--version") {
      std::printf(arg == "--help" ? "usage: kvdn-xls-reader [--memory-mib N] [--cpu-seconds N] [--] FILE\n"
                                  : "kvdn-xls-reader " KVDN_VERSION "\n");
      return 0;
    }
    if (arg == "--memory-mib" && i + 1 < argc) {
      if (!parseCount(argv[++i], memoryMiB)) return usage();
    } else if (arg == "--cpu-seconds" && i + 1 < argc) {
      if (!parseCount(argv[++i], cpuSeconds) || cpuSeconds == 0) return usage();
    } else if (arg == "--" && i + 2 == argc) {
      path = argv[++i];
    } else if (!arg.empty() && arg[0] != '-' && i + 1 == argc) {
      path = argv[i];
    } else {
      return usage();
    }
  }
  if (!path) return usage();

  bool limited = setLimit(RLIMIT_CORE, 0, 0) && setLimit(RLIMIT_FSIZE, 0, 0) &&
                 setLimit(RLIMIT_CPU, cpuSeconds, cpuSeconds + 1);
#ifndef KVDN_XLS_READER_ASAN
  if (memoryMiB > 0) limited = limited && setLimit(RLIMIT_AS, memoryMiB << 20, memoryMiB << 20);
#endif
  if (!limited) {
    std::perror("kvdn-xls-reader: setrlimit");
    return 2;
  }

  std::string out;
  try {
    out = kvdn::xls::encodeWorkbook(kvdn::xls::readWorkbookInProcess(path));
  } catch (const kvdn::ComError& e) {
    out = kvdn::xls::encodeFailure(e.number(), e.description());
  } catch (const std::bad_alloc&) {
    out =
        kvdn::xls::encodeFailure(kvdn::err::kDbFail, "Not enough memory to read '" + std::string(path) + "'");
  }
  if (!writeAll(out)) return 3;
  // Nothing left to clean up that matters; skip destructors of whatever the
  // parser may have left in a bad state.
  std::fflush(nullptr);
  ::_exit(0);
}
