// header_cxx20.cpp: zelt.h on its own in C++20; every declaration used so that
// the compiler checks it. Compiled, never linked.
#include <zelt.h> // the header under test, and nothing else

zl_value header_cxx20_use(int argc, const zl_value *argv, zl_value io);

zl_value header_cxx20_use(int argc, const zl_value *argv, zl_value io) {
    zl_value limit = ZL_NIL;
    zl_openfile *record = zl_io_record(zl_io_taint_check(io));
    zl_io_check_closed(record);
    zl_io_check_readable(record);
    zl_scan_args(argc, argv, "01", &limit);
    timeval interval = zl_time_interval(limit);
    int ready = zl_wait_for_single_fd(record->fd, 1, &interval);
    if (ready < 0) zl_sys_fail(nullptr);
    zl_define_method(zl_cIO, "cxx20", ZL_FUNC(header_cxx20_use), -1);
    if (zl_is_nil(limit) || !zl_is_int(limit)) return zl_bool(zl_io_read_pending(record) > 0);
    return zl_int_new(ready);
}
