#include "WebProcess.h"

#include <fstream>
#include <sstream>

namespace vt::e2e {

bool WebProcess::Start(const std::string& dir, const std::string& outputFile,
                       const std::vector<std::string>& more) {
  outputFile_ = outputFile;
  std::vector<std::string> arguments = {"web", dir, "--listen", "127.0.0.1:0"};
  arguments.insert(arguments.end(), more.begin(), more.end());
  if (!process_.Start(VtServerPath(), arguments, outputFile)) return false;
  WaitUntil(
      [&] {
        const std::string out = Output();
        const size_t at = out.find("http://127.0.0.1:");
        if (at == std::string::npos) return !process_.Running();
        port_ = std::atoi(out.c_str() + at + 17);
        return true;
      },
      20000);
  return port_ > 0;
}

std::string WebProcess::Output() const {
  std::ifstream in(outputFile_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace vt::e2e
