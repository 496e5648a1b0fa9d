// The page script and style of `halvern studio`, bundled from tools/studio/web by esbuild at build
// time with the report page's pinned libraries and compiled into the program (HALVERN_REPORT).
#pragma once

#include <string_view>

namespace halvern::tools {

// False when the program was built without the pages (no Node.js on the build machine).
bool studio_bundle_available();
std::string_view studio_script();
std::string_view studio_style();

}  // namespace halvern::tools
