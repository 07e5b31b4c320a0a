// The whole path of an uploaded workbook: the input is written to a file and
// read through the platform's isolated reader (the helper process parses
// it). A workbook that crashes or hangs the parser is the reader's
// ComError; this process never goes down. Slow (a process per input): run
// it with few inputs and its own time.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz_site.h"
#include "isolated_workbook_reader.h"
#include "kvdn/error.h"

using namespace kvdn;

namespace {
IsolatedWorkbookReader& reader() {
  static IsolatedWorkbookReader r([] {
    WorkbookIsolation limits;
    limits.timeout = std::chrono::milliseconds(3000);
    limits.cpuSeconds = 2;
    limits.memoryMiB = 512;
    return limits;
  }());
  return r;
}
std::string& file() {
  static std::string path = (std::filesystem::temp_directory_path() /
                             ("kvdn-fuzz-" + std::to_string(std::random_device{}()) + ".xls"))
                                .string();
  return path;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    std::ofstream out(file(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  try {
    const WorkbookContent content = reader().read(file());
    for (const WorkbookSheet& sheet : content.sheets) {
      if (sheet.cells.size() > sheet.rows) std::abort();
      for (const auto& row : sheet.cells) {
        if (row.size() > sheet.columns) std::abort();
      }
    }
  } catch (const ComError&) {
  }
  std::remove(file().c_str());
  return 0;
}
