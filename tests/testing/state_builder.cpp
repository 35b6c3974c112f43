#include "tests/testing/state_builder.h"

#include "filter/phrases.h"
#include "filter/url_list_index.h"
#include "state/url_list.h"

namespace tarvel::testing {

std::unique_ptr<FilterState> NewState() {
  auto state = std::make_unique<FilterState>();
  ResetToInitial(*state);
  // The block may stand where an earlier one stood.
  ForgetUrlListIndexes();
  return state;
}

std::unique_ptr<FilterState> NewStateWithPhrases() {
  auto state = NewState();
  FillPhraseTable(*state);
  return state;
}

std::unique_ptr<SharedExtensions> NewExtensions(std::int32_t https_filter) {
  auto extensions = std::make_unique<SharedExtensions>();
  ResetToInitial(*extensions);
  extensions->https_filter = https_filter;
  return extensions;
}

void AddEntries(FilterState& state, ListKind kind, std::initializer_list<std::string> texts) {
  for (const std::string& text : texts) AddUrl(state, kind, text.c_str());
}

}  // namespace tarvel::testing
