// Reading the token file and the Authorization header.
#include "web/AccessToken.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "base/Ascii.h"
#include "web/Base64.h"

namespace vt::tool {
namespace {

constexpr size_t kMinTokenLength = 16;

}  // namespace

Outcome ReadTokenFile(const std::string& file, std::string* token) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    return Outcome::Failure("--token-file " + file + ": " +
                            std::strerror(errno));
  }
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    return Outcome::Failure("--token-file " + file +
                            ": others may read it; allow only its owner "
                            "(chmod 600)");
  }
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) {
    return Outcome::Failure("--token-file " + file + ": cannot read it");
  }
  *token = std::string(Trim(line));
  if (token->size() < kMinTokenLength) {
    return Outcome::Failure("--token-file " + file +
                            ": the token is shorter "
                            "than " +
                            std::to_string(kMinTokenLength) + " characters");
  }
  return Outcome();
}

std::string PresentedToken(std::string_view header) {
  const std::string_view value = Trim(header);
  if (value.size() > 6 && EqualsIgnoreCase(value.substr(0, 6), "Basic ")) {
    std::string decoded;
    if (!Base64Decode(Trim(value.substr(6)), &decoded)) return "";
    const size_t colon = decoded.find(':');
    return colon == std::string::npos ? "" : decoded.substr(colon + 1);
  }
  if (value.size() > 7 && EqualsIgnoreCase(value.substr(0, 7), "Bearer ")) {
    return std::string(Trim(value.substr(7)));
  }
  return "";
}

bool SameSecret(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return diff == 0;
}

}  // namespace vt::tool
