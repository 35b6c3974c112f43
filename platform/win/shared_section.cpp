// The FilterState block and its extensions in a shared, initialised section:
// every process that maps tarvel.dll maps the same pages, created with the
// initial content when the first process loads the module while no other
// holds it.
#include "state/shared_state.h"

namespace tarvel {
namespace {

// All zero but the lists-ready flag. Being non-zero also keeps the block out
// of .bss, which cannot be shared.
constexpr SharedBlock MakeInitial() {
  SharedBlock b{};
  b.state.lists_ready = 1;
  return b;
}

#if defined(_MSC_VER)
#pragma data_seg(".inidata")
SharedBlock g_shared = MakeInitial();
#pragma data_seg()
#pragma comment(linker, "/SECTION:.inidata,RWS")
#else
__attribute__((section(".inidata"), shared)) SharedBlock g_shared = MakeInitial();
#endif

}  // namespace

FilterState& SharedState() { return g_shared.state; }
FilterExtensions& SharedExtensions() { return g_shared.extensions; }

}  // namespace tarvel
