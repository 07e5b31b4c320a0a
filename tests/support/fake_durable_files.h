// The durable file operations for tests: plain file-system calls (no disk
// flushes) behind switches that make them fail, by name or by count, the
// way a full disk or a failing flush would.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "durable_files.h"
#include "kvdn/error.h"
#include "support/countdown.h"

namespace kvdn::testing {

class FakeDurableFiles final : public DurableFiles {
 public:
  void syncFile(const std::string& path) const override {
    if (failSync || countdown.tick())
      raise(err::kDbFail, "Input/output error (injected failure) (" + path + ")");
  }
  void syncFolderOf(const std::string&) const noexcept override {}
  bool createNewFile(const std::string& path) const override {
    if (countdown.tick()) raise(err::kDbFail, "No space left on device (injected failure) (" + path + ")");
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(path, ec))) return false;
    std::ofstream(path, std::ios::binary);
    return true;
  }
  std::uint32_t processId() const noexcept override { return 4242; }

  bool failSync = false;
  Countdown countdown;
};

}  // namespace kvdn::testing
