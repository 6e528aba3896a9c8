// A request and an answer as the console's routes see them, apart from the
// network library that reads and writes them.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vt::tool {

using HttpFields = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;  // "GET"
  std::string target;  // as sent: "/api/log?file=1:2&offset=7"
  std::string path;    // decoded, without the query: "/api/log"
  HttpFields params;   // the query's, decoded, in order
  HttpFields headers;  // in order, names as sent
  std::string body;

  // The first header of that name (regardless of case); empty if none.
  std::string Header(std::string_view name) const;
  bool HasParam(std::string_view name) const;
  // The first parameter of that name; empty if none.
  std::string Param(std::string_view name) const;
};

struct HttpResponse {
  int status = 200;
  HttpFields headers;  // besides Content-Type, Content-Length, Connection
  std::string contentType;
  std::string body;
};

// Splits a request target into its decoded path and query parameters
// (%XX and, in the query, '+' for a blank); false when a %-escape is
// broken.
bool ParseTarget(std::string_view target, std::string* path,
                 HttpFields* params);

}  // namespace vt::tool
