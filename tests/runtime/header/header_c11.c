/* header_c11.c: zelt.h on its own in strict C11; every declaration used so
 * that the compiler checks it. Compiled, never linked. */
#include <zelt.h> /* the header under test, and nothing else */

zl_value header_c11_use(zl_value io, int argc, const zl_value *argv);

zl_value header_c11_use(zl_value io, int argc, const zl_value *argv) {
    zl_value limit = ZL_NIL;
    zl_openfile *record = zl_io_record(zl_io_taint_check(io));
    zl_io_check_closed(record);
    zl_io_check_readable(record);
    zl_scan_args(argc, argv, "01", &limit);
    struct timeval interval = zl_time_interval(limit);
    int ready = zl_wait_for_single_fd(record->fd, 1, &interval);
    if (ready < 0) zl_sys_fail((const char *)0);
    zl_define_method(zl_cIO, "c11", ZL_FUNC(header_c11_use), -1);
    if (zl_is_nil(limit) || !zl_is_int(limit)) return zl_bool(zl_io_read_pending(record) > 0);
    return zl_int_new(ready);
}
