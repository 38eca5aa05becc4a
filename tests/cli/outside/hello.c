/* hello.c: an extension built outside the tree, against an installed zelt.
 *
 * IO#hello answers 42 on an open stream and raises IOError on a closed one,
 * so that an exception is seen to unwind through a C extension's frames. */
#include <zelt.h> /* zl_define_method, zl_cIO, the IO checks, ZL_INIT */

static zl_value io_hello(zl_value self) {
    zl_io_check_closed(zl_io_record(zl_io_taint_check(self)));
    return zl_int_new(42);
}

ZL_INIT(hello) { zl_define_method(zl_cIO, "hello", ZL_FUNC(io_hello), 0); }
