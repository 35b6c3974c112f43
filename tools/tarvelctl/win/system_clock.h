// The Windows clock and time zone, and a wait that Ctrl+C ends.
#pragma once

#include "tools/tarvelctl/log_time.h"

namespace tarvel::ctl {

Clock& SystemClock();

}  // namespace tarvel::ctl
