// The list-editing exports, called by a control program in its own process;
// they change the shared block of every process at once and never the
// registry or the list files. cdecl, plain names (see tarvel.def).
#include "state/shared_state.h"
#include "state/url_list.h"

using tarvel::ListKind;
using tarvel::SharedState;

extern "C" {

int __cdecl AddWhiteUrl(const char* text) {
  return tarvel::AddUrl(SharedState(), ListKind::kWhite, text);
}
int __cdecl AddBlackUrl(const char* text) {
  return tarvel::AddUrl(SharedState(), ListKind::kBlack, text);
}
int __cdecl DelWhiteUrl(const char* text) {
  return tarvel::DelUrl(SharedState(), ListKind::kWhite, text);
}
int __cdecl DelBlackUrl(const char* text) {
  return tarvel::DelUrl(SharedState(), ListKind::kBlack, text);
}
int __cdecl SetOnlyWhiteUrl(int value) { return tarvel::SetFlag(SharedState().white_only, value); }
int __cdecl SetSmartFilter(int value) { return tarvel::SetFlag(SharedState().smart_filter, value); }
int __cdecl SetHttpsFilter(int value) {
  return tarvel::SetFlag(tarvel::SharedExtensionBlock().https_filter, value);
}

}  // extern "C"
