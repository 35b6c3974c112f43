// This process's views of the active categories (state/category_set.h)
// over the compiled files in the shared table's folder.
#pragma once

#include "filter/host.h"
#include "state/category_set.h"

namespace tarvel {

// The active category `host` falls under, loading the table's new files
// first when it changed. Call inside a guard: a mapped file on a volume
// that goes away faults when read.
bool FindProcessCategory(const Host& host, CategoryHit* hit);

// Unmaps every view (the module is being unloaded, FreeLibrary).
void ReleaseProcessCategories();

}  // namespace tarvel
