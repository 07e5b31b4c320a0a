// The component's one trap for "go on with the next step after a failure":
// the methods whose contract says a failing step is skipped run each such
// step through it.
//
// Only ComError is a failing step. Ending the response throws nothing, and
// anything else (memory, a fault of the library) is not the page's business
// to hide, so it passes through every trap.
#pragma once

#include <utility>

#include "kvdn/error.h"

namespace kvdn::trap {

// Runs `step`; a ComError it raises is handed to `onError` and goes no
// further. Returns true when the step ran to its end.
template <class Step, class OnError>
bool keepGoing(Step&& step, OnError&& onError) {
  try {
    std::forward<Step>(step)();
    return true;
  } catch (const ComError& e) {
    std::forward<OnError>(onError)(e);
    return false;
  }
}

// Runs `step`; a ComError it raises is dropped. Returns true when the step
// ran to its end.
template <class Step>
bool keepGoing(Step&& step) {
  return keepGoing(std::forward<Step>(step), [](const ComError&) {});
}

// The condition of a skipped-on-failure step: when evaluating it fails, the
// step it guards does not run (false).
template <class Test>
bool holds(Test&& test) {
  bool result = false;
  keepGoing([&] { result = std::forward<Test>(test)(); });
  return result;
}

}  // namespace kvdn::trap
