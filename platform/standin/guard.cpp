// Test stand-in for the Windows guard: C++ exceptions stand for faults.
#include "platform/guard.h"

namespace tarvel {

extern "C" int GuardedCall(GuardedFn fn, void* context) {
  try {
    fn(context);
    return 1;
  } catch (...) {
    return 0;
  }
}

}  // namespace tarvel
