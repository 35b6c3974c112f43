// The machine tarvelctl.exe runs on.
#pragma once

#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

Machine& ThisMachine();

}  // namespace tarvel::ctl
