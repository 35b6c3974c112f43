// Native stand-in: one ordinary block per test process.
#include "state/shared_state.h"

namespace tarvel {
namespace {

SharedBlock& Block() {
  static SharedBlock* block = [] {
    static SharedBlock b{};
    ResetToInitial(b.state);
    return &b;
  }();
  return *block;
}

}  // namespace

FilterState& SharedState() { return Block().state; }
FilterExtensions& SharedExtensions() { return Block().extensions; }

}  // namespace tarvel
