// The program built with -DHALVERN_REPORT=OFF: no studio page.
#include "tools/studio/studio_bundle.h"

namespace halvern::tools {

bool studio_bundle_available() { return false; }
std::string_view studio_script() { return {}; }
std::string_view studio_style() { return {}; }

}  // namespace halvern::tools
