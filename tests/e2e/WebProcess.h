// `vtserver web` in the background for the web console's tests: started on
// a free loopback port, with the port it chose read from its first line.
#pragma once

#include <string>
#include <vector>

#include "Programs.h"

namespace vt::e2e {

class WebProcess {
 public:
  // Starts `vtserver web DIR --listen 127.0.0.1:0 [more...]` and waits
  // (up to 20 s) until it says where it serves; false if it does not.
  bool Start(const std::string& dir, const std::string& outputFile,
             const std::vector<std::string>& more = {});
  int port() const { return port_; }
  // "http://127.0.0.1:PORT".
  std::string url() const {
    return "http://127.0.0.1:" + std::to_string(port_);
  }
  BackgroundProcess& process() { return process_; }
  std::string Output() const;

 private:
  BackgroundProcess process_;
  std::string outputFile_;
  int port_ = 0;
};

}  // namespace vt::e2e
