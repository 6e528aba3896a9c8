// Placeholders in layout.html are replaced once each; the page's content
// goes in last, so that nothing in it is taken for a placeholder.
#include "web/PageLayout.h"

#include "web/WebAssets.h"

namespace vt::tool {
namespace {

std::string_view Asset(std::string_view name) {
  for (const WebAsset& asset : WebAssets()) {
    if (asset.name == name) return asset.body;
  }
  return {};
}

void ReplaceOnce(std::string& text, std::string_view placeholder,
                 std::string_view value) {
  const size_t at = text.find(placeholder);
  if (at != std::string::npos) text.replace(at, placeholder.size(), value);
}

}  // namespace

std::string AssemblePage(const PageInfo& page, std::string_view csrfToken) {
  std::string html(Asset("layout.html"));
  ReplaceOnce(html, "{{csrf}}", csrfToken);
  ReplaceOnce(html, "{{title}}", page.title);
  ReplaceOnce(html, "{{page}}", page.name);
  const std::string link = "<a href=\"" + std::string(page.path) + "\"";
  ReplaceOnce(html, link + ">", link + " aria-current=\"page\">");
  ReplaceOnce(html, "{{main}}", Asset(page.file));
  return html;
}

}  // namespace vt::tool
