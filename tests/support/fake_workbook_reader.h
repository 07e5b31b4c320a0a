// A WorkbookReader for tests: passes reads to a real reader (the platform's
// isolated one unless another is given) and fails them on request, the way
// the isolated reader fails when the parser crashes or hangs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "kvdn/error.h"
#include "kvdn/workbook_reader.h"

namespace kvdn::testing {

struct WorkbookReaderSwitches {
  // When set, read() raises ComError(number, description) without reading.
  std::atomic<bool> fail{false};
  std::int32_t number = err::kDbFail;
  std::string description = "External table is not in the expected format (injected failure)";
  // How many reads were asked for, failed ones included.
  std::atomic<int> reads{0};
};

class FakeWorkbookReader final : public WorkbookReader {
 public:
  explicit FakeWorkbookReader(std::shared_ptr<WorkbookReaderSwitches> switches,
                              std::shared_ptr<WorkbookReader> real = makeSystemWorkbookReader());
  WorkbookContent read(const std::string& path) override;

 private:
  std::shared_ptr<WorkbookReaderSwitches> switches_;
  std::shared_ptr<WorkbookReader> real_;
};

}  // namespace kvdn::testing
