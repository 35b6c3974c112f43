#include "state/filter_state.h"

#include <cstring>

namespace tarvel {

void ResetToInitial(FilterState& s) {
  std::memset(&s, 0, sizeof s);
  s.lists_ready = 1;
}

}  // namespace tarvel
