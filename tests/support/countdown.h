// Failure by count for the fakes: the Nth call of what a fake watches fails,
// once or from then on, so that a loop over N reaches every failure point of
// a piece of work without naming any.
#pragma once

#include <atomic>
#include <cstdint>

namespace kvdn::testing {

struct Countdown {
  // 0: off. Else the call that fails first (1 is the first call).
  std::uint64_t nth = 0;
  // After the Nth, every later call fails too (a disk that stays full);
  // else only the Nth (a passing fault).
  bool persistent = false;

  // Counts one call; true when it is to fail. Callable on a const switch
  // set (the fakes hold their switches const).
  bool tick() const {
    const std::uint64_t call = ++calls_;
    return nth != 0 && (persistent ? call >= nth : call == nth);
  }
  // Calls counted so far: after a run without failure, the number of
  // failure points it has.
  std::uint64_t calls() const { return calls_; }
  void reset(std::uint64_t n, bool fromThenOn = false) {
    nth = n;
    persistent = fromThenOn;
    calls_ = 0;
  }

 private:
  mutable std::atomic<std::uint64_t> calls_{0};
};

}  // namespace kvdn::testing
