// The pages' common part, written once (assets/layout.html): the head,
// with the style sheet, the script and the CSRF token, and the header with
// its navigation. Each page's own file holds only its <main>.
#pragma once

#include <string>
#include <string_view>

namespace vt::tool {

struct PageInfo {
  std::string_view path;   // "/quarantine": the URL, marked current in nav
  std::string_view file;   // "quarantine.html": its <main>
  std::string_view title;  // "Quarantine"
  std::string_view name;   // "quarantine": the body's data-page
};

// The page as served: layout.html with the page's title, name, current
// link, content and the process's CSRF token.
std::string AssemblePage(const PageInfo& page, std::string_view csrfToken);

}  // namespace vt::tool
