// wait.cpp: nread, ready? and wait for every IO object.
//
// Each method looks at the interpreter's read buffer first and asks the
// kernel (FIONREAD) only when that buffer is empty. Nothing here allocates,
// keeps state or holds anything across a call that may raise.
#include <zelt.h> // zl_value, the IO checks, zl_wait_for_single_fd, zl_sys_fail

#include <stdint.h>    // uint32_t, uint64_t
#include <sys/ioctl.h> // ioctl, FIONREAD

// An open, readable stream's record, or the interpreter's error.
static zl_openfile *io_readable_record(zl_value io) {
    zl_openfile *record = zl_io_record(zl_io_taint_check(io));
    zl_io_check_closed(record); // refuses a missing record too
    zl_io_check_readable(record);
    return record;
}

// Bytes the kernel holds for FD; false when it will not say.
static bool kernel_byte_count(int fd, int *count) { return ioctl(fd, FIONREAD, count) == 0; }

// Integer n as 2n+1 for a count known to be positive: no signed overflow.
// Below 2^32 for every int, so 32-bit arithmetic makes it, in one instruction.
static zl_value count_value(int n) {
    return static_cast<uint32_t>(static_cast<uint32_t>(n) * 2u + 1u);
}

// The kernel's answer for nread: its count, or 0 when it will not say. Out of
// line, so that an answer from the buffer sets up no stack for it.
[[gnu::noinline]] static zl_value kernel_nread(int fd) {
    int count; // the kernel's, when it answers
    if (!kernel_byte_count(fd, &count)) [[unlikely]]
        return zl_int_new(0);
    if (count > 0) [[likely]] // asked, input is mostly there
        return count_value(count);
    return zl_int_new(0);
}

// The kernel's answer for ready?: nil when it cannot tell.
[[gnu::noinline]] static zl_value kernel_ready(int fd) {
    int count; // the kernel's, when it answers
    if (!kernel_byte_count(fd, &count)) [[unlikely]]
        return ZL_NIL;
    // true (2) when count > 0: the sign of -count, in 64 bits where no int
    // overflows, doubled; one instruction fewer than a compare and a set.
    return static_cast<uint64_t>(-static_cast<int64_t>(count)) >> 63u << 1u;
}

static zl_value io_nread(zl_value io) {
    zl_openfile *record = io_readable_record(io);
    int pending = zl_io_read_pending(record);
    if (pending > 0) return count_value(pending); // the kernel's count is not added
    return kernel_nread(record->fd);
}

static zl_value io_ready_p(zl_value io) {
    zl_openfile *record = io_readable_record(io);
    if (zl_io_read_pending(record) != 0) return ZL_TRUE;
    return kernel_ready(record->fd);
}

static zl_value io_wait(int argc, const zl_value *argv, zl_value io) {
    zl_openfile *record = io_readable_record(io);
    zl_value limit; // the scan stores nil when it is omitted
    zl_scan_args(argc, argv, "01", &limit);
    struct timeval interval;
    struct timeval *until = nullptr; // null: no limit
    if (limit != ZL_NIL) {           // false too is a limit, for the interpreter to judge
        interval = zl_time_interval(limit);
        until = &interval;
    }
    if (zl_io_read_pending(record) != 0) return ZL_TRUE;
    if (zl_wait_for_single_fd(record->fd, 1, until) < 0) zl_sys_fail(nullptr);
    zl_io_check_closed(record); // a close from another thread ends the wait
    int count;                  // the kernel's, when it answers
    if (!kernel_byte_count(record->fd, &count)) zl_sys_fail(nullptr);
    return count > 0 ? io : ZL_NIL;
}

static const struct {
    const char *name;
    zl_func fn;
    int arity;
} io_methods[] = {
    {"nread", ZL_FUNC(io_nread), 0},
    {"ready?", ZL_FUNC(io_ready_p), 0},
    {"wait", ZL_FUNC(io_wait), -1},
};

extern "C" ZL_API void Init_wait(void) {
    for (const auto &m : io_methods) zl_define_method(zl_cIO, m.name, m.fn, m.arity);
}
