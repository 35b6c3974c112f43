// The exports that change the filter, called by a control program in its
// own process; they change the shared block of every process at once and
// never the registry or the list files. cdecl, plain names (see tarvel.def).
//
// While the filter is locked ("islck"), a caller that is neither LocalSystem
// nor an elevated administrator changes nothing: the export returns 0, and
// the refusal is counted and recorded with the program that tried.
// SetLocked asks for those rights whether the lock is on or off.
#include <winsock2.h>

#include <charconv>

#include "filter/verdict.h"
#include "platform/win/block_record.h"
#include "platform/win/caller_rights.h"
#include "state/change_rights.h"
#include "state/shared_state.h"
#include "state/url_list.h"

namespace tarvel {
namespace {

// Records a refused change: the export's name and its argument as the
// record's host ("DelBlackUrl casino.example", "SetHttpsFilter 0").
void RecordRefusal(const char* export_name, const char* argument) {
  Host what;
  std::size_t n = 0;
  for (const char* p = export_name; *p != '\0' && n < kHostMax; ++p) what.text[n++] = *p;
  if (n < kHostMax) what.text[n++] = ' ';
  for (const char* p = argument; p != nullptr && *p != '\0' && n < kHostMax; ++p) {
    what.text[n++] = *p;
  }
  what.text[n] = '\0';
  what.length = n;
  RecordBlockOn(INVALID_SOCKET, BlockFacts{BlockReason::kChangeRefused, &what, -1});
}

void RecordRefusal(const char* export_name, int value) {
  char text[16];
  *std::to_chars(text, text + sizeof text - 1, value).ptr = '\0';
  RecordRefusal(export_name, text);
}

// The change, made when the lock lets the caller make it; else 0.
template <typename Argument, typename Change>
int Guarded(const char* export_name, Argument argument, Change change) {
  if (MayChangeFilter(SharedExtensionBlock(), ReadCallerToken) == 1) return change();
  RecordRefusal(export_name, argument);
  return 0;
}

}  // namespace
}  // namespace tarvel

using tarvel::Guarded;
using tarvel::ListKind;
using tarvel::SharedExtensionBlock;
using tarvel::SharedState;

namespace {

// A list edit: marked first, so that no later load of the list files
// (RetryLists) overwrites it.
int AddUrl(ListKind kind, const char* text) {
  tarvel::Store(SharedExtensionBlock().lists_edited, 1);
  return tarvel::AddUrl(SharedState(), kind, text);
}

int DelUrl(ListKind kind, const char* text) {
  tarvel::Store(SharedExtensionBlock().lists_edited, 1);
  return tarvel::DelUrl(SharedState(), kind, text);
}

}  // namespace

extern "C" {

int __cdecl AddWhiteUrl(const char* text) {
  return Guarded("AddWhiteUrl", text, [&] { return AddUrl(ListKind::kWhite, text); });
}
int __cdecl AddBlackUrl(const char* text) {
  return Guarded("AddBlackUrl", text, [&] { return AddUrl(ListKind::kBlack, text); });
}
int __cdecl DelWhiteUrl(const char* text) {
  return Guarded("DelWhiteUrl", text, [&] { return DelUrl(ListKind::kWhite, text); });
}
int __cdecl DelBlackUrl(const char* text) {
  return Guarded("DelBlackUrl", text, [&] { return DelUrl(ListKind::kBlack, text); });
}
int __cdecl SetOnlyWhiteUrl(int value) {
  return Guarded("SetOnlyWhiteUrl", value,
                 [&] { return tarvel::SetFlag(SharedState().white_only, value); });
}
int __cdecl SetSmartFilter(int value) {
  return Guarded("SetSmartFilter", value,
                 [&] { return tarvel::SetFlag(SharedState().smart_filter, value); });
}
int __cdecl SetHttpsFilter(int value) {
  return Guarded("SetHttpsFilter", value,
                 [&] { return tarvel::SetFlag(SharedExtensionBlock().https_filter, value); });
}
// Switches the lock at run time; only LocalSystem or an elevated
// administrator may, whether it is on or off.
int __cdecl SetLocked(int value) {
  if (tarvel::HasChangeRights(tarvel::ReadCallerToken()) != 1) {
    tarvel::RecordRefusal("SetLocked", value);
    return 0;
  }
  return tarvel::SetFlag(SharedExtensionBlock().locked, value);
}

// Makes the category `name` active with its compiled file of `serial`
// (<name>.<serial>.tvcat in the table's folder; 0: the newest there), or
// switches an active one to that file. Running filters map it at their next
// verdict. 0 when the name is not a category name or all slots are taken.
int __cdecl SetCategory(const char* name, unsigned int serial) {
  return Guarded("SetCategory", name, [&] {
    auto& e = SharedExtensionBlock();
    return tarvel::PublishCategory(e.categories_generation, e.categories, name, serial);
  });
}
// Makes the category `name` inactive; 0 when it was not active.
int __cdecl RemoveCategory(const char* name) {
  return Guarded("RemoveCategory", name, [&] {
    auto& e = SharedExtensionBlock();
    return tarvel::WithdrawCategory(e.categories_generation, e.categories, name);
  });
}

}  // extern "C"
