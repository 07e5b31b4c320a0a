// The run-time error record of the maintenance methods: each trapped step
// that fails records its error and the method goes on with the next step; the
// method looks at the record once, at the point its contract names.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "helpers/trap.h"
#include "kvdn/error.h"
#include "kvdn/page.h"

namespace kvdn::maintenance {

class ErrorRecord {
 public:
  // Runs `step`; a ComError it raises becomes the recorded error (replacing
  // an earlier one: the report shows the most recent). Anything else passes.
  template <class F>
  void step(F&& f) {
    trap::keepGoing(std::forward<F>(f), [this](const ComError& e) { last_ = e; });
  }
  void record(std::int32_t number, std::string description) {
    last_ = ComError(number, std::move(description));
  }
  bool failed() const { return last_.has_value(); }
  void clear() { last_.reset(); }

  // The error report: one write of message + number + "<br>" + description,
  // the record cleared, the response ended.
  void report(Response& response, std::string_view message) {
    std::string text(message);
    if (last_) text += std::to_string(last_->number()) + "<br>" + last_->description();
    response.write(text);
    clear();
    response.end();
  }

 private:
  std::optional<ComError> last_;
};

// A call on an object variable that holds nothing: "Object required".
template <class T>
T& need(const std::shared_ptr<T>& object) {
  if (!object) raise(err::kObjectRequired);
  return *object;
}

}  // namespace kvdn::maintenance
