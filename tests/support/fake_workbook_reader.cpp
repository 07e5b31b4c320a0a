#include "support/fake_workbook_reader.h"

namespace kvdn::testing {

FakeWorkbookReader::FakeWorkbookReader(std::shared_ptr<WorkbookReaderSwitches> switches,
                                       std::shared_ptr<WorkbookReader> real)
    : switches_(std::move(switches)), real_(std::move(real)) {}

WorkbookContent FakeWorkbookReader::read(const std::string& path) {
  ++switches_->reads;
  if (switches_->fail) raise(switches_->number, switches_->description);
  return real_->read(path);
}

}  // namespace kvdn::testing
