// The web console's pages, style sheet and script, built into the program
// from apps/vtserver/web/ so that nothing a page needs is fetched from
// anywhere else and an installed vtserver needs no files beside it.
#pragma once

#include <span>
#include <string_view>

namespace vt::tool {

struct WebAsset {
  std::string_view name;  // the file name in web/, "console.js"
  std::string_view body;
};

std::span<const WebAsset> WebAssets();

}  // namespace vt::tool
