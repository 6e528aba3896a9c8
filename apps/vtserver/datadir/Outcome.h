// How every vtserver step reports a failure: the one line the administrator
// will read, carried back as a value up to the command that prints it.
#pragma once

#include <string>
#include <string_view>

#include "notes/Status.h"

namespace vt::tool {

class [[nodiscard]] Outcome {
 public:
  // What the caller could do about a failure, for answers that depend on it
  // (the web console's HTTP status): ask differently, look elsewhere, try
  // after the other change, or try later.
  enum class Kind { kFailed, kBadRequest, kNotFound, kConflict, kUnavailable };

  Outcome() = default;  // success

  static Outcome Failure(std::string message, Kind kind = Kind::kFailed);

  bool ok() const { return !failed_; }
  const std::string& message() const { return message_; }
  Kind kind() const { return kind_; }

 private:
  bool failed_ = false;
  Kind kind_ = Kind::kFailed;
  std::string message_;
};

// The platform's text for a status ("File does not exist").
std::string StatusMessage(Status status);
// "<what>: <status text>".
Outcome StatusFailure(std::string_view what, Status status);

// Prints "vtserver: <message>" as one line on standard error (control
// characters but the tab shown as '?') and returns the exit code for a
// failure, 1.
int ReportFailure(const Outcome& outcome);

}  // namespace vt::tool
