// counter.cpp: an extension that counts how often its entry point ran and
// tells it through an IO method.
#include <zelt.h> // zl_define_method, zl_cIO, zl_int_new

static int inits = 0;

static zl_value counter_inits(zl_value) { return zl_int_new(inits); }

extern "C" ZL_API void Init_counter(void) {
    ++inits;
    zl_define_method(zl_cIO, "zt_counter_inits", ZL_FUNC(counter_inits), 0);
}
