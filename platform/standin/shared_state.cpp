// Native stand-in: one ordinary block per test process.
#include "state/shared_state.h"

namespace tarvel {

FilterState& SharedState() {
  static FilterState* state = [] {
    static FilterState s;
    ResetToInitial(s);
    return &s;
  }();
  return *state;
}

SharedExtensions& SharedExtensionBlock() {
  static SharedExtensions* extensions = [] {
    static SharedExtensions e;
    ResetToInitial(e);
    return &e;
  }();
  return *extensions;
}

}  // namespace tarvel
