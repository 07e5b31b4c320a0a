// The workbook reader that parses each workbook in a child process: the
// helper program kvdn-xls-reader, started with posix_spawn (safe in a
// process with many threads, unlike fork followed by library calls), limits
// itself (address space, processor time, no core file, no file writes),
// parses the file with FreeXL and writes the content to a pipe.
//
// Whatever the file does to the parser (a crash, a hang, exhausted memory,
// garbage on the pipe), read() raises err::kDbFail naming the file and what
// happened, within `timeout`; the child is killed and reaped before read()
// returns or raises. Nothing is written anywhere. read() keeps no state:
// several threads may read through one reader at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "kvdn/workbook_reader.h"

namespace kvdn {

struct WorkbookIsolation {
  // The helper program; empty: the default (see defaultXlsReaderPath).
  std::string helperPath;
  // Wall-clock time for one workbook, from start to the child's exit.
  std::chrono::milliseconds timeout{10000};
  // Processor time the child may use (whole seconds, at least 1).
  unsigned cpuSeconds = 10;
  // The child's address space in MiB; 0: no limit. (Builds with
  // AddressSanitizer do not apply it: the sanitizer reserves terabytes.)
  std::size_t memoryMiB = 1024;
  // Largest answer accepted from the child, in bytes.
  std::size_t maxContentBytes = 256u << 20;
};

class IsolatedWorkbookReader final : public WorkbookReader {
 public:
  explicit IsolatedWorkbookReader(WorkbookIsolation isolation = {});
  WorkbookContent read(const std::string& path) override;
  const WorkbookIsolation& isolation() const { return isolation_; }

 private:
  WorkbookIsolation isolation_;
};

// The helper program this library uses by default: the environment variable
// KVDN_XLS_READER when set, else the first of "kvdn-xls-reader" beside this
// library (or the program it is linked into), in "../bin" or in
// "../libexec/kvdnAspDll" from there that exists; else the name beside the
// library (which then fails to start, with that path in the message).
std::string defaultXlsReaderPath();

}  // namespace kvdn
