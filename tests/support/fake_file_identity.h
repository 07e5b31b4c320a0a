// The file identity for tests: the platform's own, behind switches that make
// lookups fail (all of them, or by count), and a count of the lookups made.
#pragma once

#include <atomic>
#include <memory>

#include "file_identity.h"
#include "posix_file_identity.h"
#include "support/countdown.h"

namespace kvdn::testing {

class FakeFileIdentity final : public FileIdentity {
 public:
  std::optional<FileId> identify(const std::string& path) const noexcept override {
    ++lookups;
    if (fail || countdown.tick()) return std::nullopt;
    return real_.identify(path);
  }
  std::atomic<bool> fail{false};
  Countdown countdown;
  mutable std::atomic<int> lookups{0};

 private:
  PosixFileIdentity real_;
};

}  // namespace kvdn::testing
