// raising.cpp: an extension whose entry point raises, so its load fails.
#include <zelt.h> // zl_time_interval

extern "C" ZL_API void Init_raising(void) {
    (void)zl_time_interval(ZL_TRUE); // raises TypeError
}
