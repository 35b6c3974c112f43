// The shared data in a shared, initialised section: every process that maps
// tarvel.dll maps the same pages, created with the initial content when the
// first process loads the module while no other holds it.
#include "state/shared_state.h"

namespace tarvel {
namespace {

// All zero but the lists-ready flag and the extensions' layout. Being
// non-zero also keeps the block out of .bss, which cannot be shared.
constexpr SharedData MakeInitial() {
  SharedData d{};
  d.filter.lists_ready = 1;
  d.extensions.layout = kExtensionsLayout;
  return d;
}

#if defined(_MSC_VER)
#pragma data_seg(TARVEL_SHARED_SECTION)
SharedData g_shared = MakeInitial();
#pragma data_seg()
#pragma comment(linker, "/SECTION:" TARVEL_SHARED_SECTION ",RWS")
#else
__attribute__((section(TARVEL_SHARED_SECTION), shared)) SharedData g_shared = MakeInitial();
#endif

}  // namespace

FilterState& SharedState() { return g_shared.filter; }
SharedExtensions& SharedExtensionBlock() { return g_shared.extensions; }

}  // namespace tarvel
