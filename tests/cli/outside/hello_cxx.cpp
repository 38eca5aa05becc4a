// hello_cxx.cpp: the same extension in C++, built outside the tree against
// an installed zelt. ZL_INIT gives its entry point C linkage, which the
// loader needs to find it.
#include <zelt.h> // zl_define_method, zl_cIO, the IO checks, ZL_INIT

static zl_value io_hello_cxx(zl_value self) {
    zl_io_check_closed(zl_io_record(zl_io_taint_check(self))); // IOError once closed
    return zl_int_new(43);
}

ZL_INIT(hello_cxx) { zl_define_method(zl_cIO, "hello_cxx", ZL_FUNC(io_hello_cxx), 0); }
