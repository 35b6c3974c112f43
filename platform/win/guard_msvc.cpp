// The guard for MSVC builds, where __try/__except is native.
#include <windows.h>

#include "platform/guard.h"

namespace tarvel {

extern "C" int GuardedCall(GuardedFn fn, void* context) {
  __try {
    fn(context);
    return 1;
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    return 0;
  }
}

}  // namespace tarvel
