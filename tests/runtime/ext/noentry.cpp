// noentry.cpp: an extension the loader must refuse: it exports a near miss of
// its entry point, Init_noentry, and not the entry point itself.
#include <zelt.h> // ZL_API

extern "C" ZL_API void Init_other(void) {}
