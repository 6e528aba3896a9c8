// Helpers the console tests share: a temporary data directory that removes
// itself, and argument vectors built from strings.
#pragma once

#include <string>
#include <vector>

#include "support/TempDir.h"

namespace vt::console::testing {

using vt::testing::TempDir;

// Owns the strings an argv points into.
class Args {
 public:
  explicit Args(std::vector<std::string> args) : strings_(std::move(args)) {
    for (std::string& s : strings_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(strings_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

}  // namespace vt::console::testing
