// The Windows workbook reader: parses each workbook in a child process, the
// helper program kvdn-xls-reader.exe beside the DLL, started suspended,
// placed in a job object that limits its memory and processor time and
// kills it when the job closes, then resumed; its content comes back over
// an anonymous pipe (xls/workbook_wire.h).
//
// Whatever the file does to the parser (a crash, a hang, exhausted memory,
// garbage on the pipe), read() raises err::kDbFail naming the file and what
// happened, within `timeout`; the child is ended before read() returns or
// raises. Nothing is written anywhere. read() keeps no state: several
// threads may read through one reader at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "kvdn/workbook_reader.h"

namespace kvdn::platform::windows {

struct JobLimits {
  // The helper program; empty: kvdn-xls-reader.exe beside this DLL (or the
  // environment variable KVDN_XLS_READER when set).
  std::wstring helperPath;
  // Wall-clock time for one workbook, from start to the child's exit.
  std::chrono::milliseconds timeout{10000};
  // Processor time (user mode) the child may use, whole seconds, at least 1.
  unsigned cpuSeconds = 10;
  // The child's committed memory in MiB; 0: no limit.
  std::size_t memoryMiB = 1024;
  // Largest answer accepted from the child, in bytes.
  std::size_t maxContentBytes = 256u << 20;
};

class JobWorkbookReader final : public WorkbookReader {
 public:
  explicit JobWorkbookReader(JobLimits limits = {});
  // `path` is UTF-8, as every path of the library.
  WorkbookContent read(const std::string& path) override;
  const JobLimits& limits() const { return limits_; }

 private:
  JobLimits limits_;
};

// kvdn-xls-reader.exe in the folder of the module this code is linked into
// (the DLL), or KVDN_XLS_READER when that is set.
std::wstring defaultXlsReaderPath();

}  // namespace kvdn::platform::windows
