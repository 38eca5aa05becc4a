// gate.hpp: what the interposed calls ask before they pass on (injector.cpp).
// Declares no system call, so that the files defining them can include it.
#pragma once

#include "injector.hpp" // Sys

namespace zf::gate {

// Counts the call, holds it when its rule says so, and returns the errno it
// is to fail with, or 0 to pass on. errno is left as it was.
int enter(Sys sys, int key);

void note_registration(bool done); // the runtime's membarrier registration, as it went

} // namespace zf::gate
