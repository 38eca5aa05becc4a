// gate.hpp: what the interposed calls ask before they pass on (injector.cpp).
// Declares no system call, so that the files defining them can include it.
#pragma once

#include "injector.hpp" // Sys

namespace zf::gate {

// Counts the call, holds it when its rule says so, and returns the errno it
// is to fail with, or 0 to pass on. errno is left as it was.
int enter(Sys sys, int key);

// The runtime's membarrier COMMAND, as it went: registered, or refused after
// registration (the runtime fences from then on).
void note_barrier(long command, bool done);

} // namespace zf::gate
