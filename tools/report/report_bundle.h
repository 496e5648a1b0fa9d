// The page script and style of `halvern report`, bundled from web/ by npm and esbuild at
// build time and compiled into the program (CMake option HALVERN_REPORT).
#pragma once

#include <string_view>

namespace halvern::tools {

// False when the program was built without the report (no Node.js on the build machine).
bool report_bundle_available();
std::string_view report_script();
std::string_view report_style();

}  // namespace halvern::tools
