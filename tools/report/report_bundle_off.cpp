// The program built with -DHALVERN_REPORT=OFF: no page bundle.
#include "tools/report/report_bundle.h"

namespace halvern::tools {

bool report_bundle_available() { return false; }
std::string_view report_script() { return {}; }
std::string_view report_style() { return {}; }

}  // namespace halvern::tools
