// Follows the server log as it grows, the way `tail -f` would, so that the
// demonstration can show the router's lines as they are written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vt::tool {

class LogFollower {
 public:
  explicit LogFollower(std::filesystem::path file) : file_(std::move(file)) {}

  // The complete lines written since the last call (none while the file
  // does not exist yet).
  std::vector<std::string> NewLines();

 private:
  std::filesystem::path file_;
  uint64_t offset_ = 0;
  std::string partial_;  // a line still being written
};

}  // namespace vt::tool
