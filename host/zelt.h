/* zelt.h: the interface that Zelt extensions are written against.
 *
 * A C header, usable from C11 and C++. It declares the value encoding, the
 * IO object layout and the interpreter calls an extension may make; the
 * runtime's internals stay out of it. A call documented as raising never
 * returns to its caller: the exception unwinds to whoever called into the
 * interpreter, so an extension holds nothing across such a call.
 */
#ifndef ZELT_H
#define ZELT_H

#include <stdint.h>   /* uint64_t, int32_t */
#include <sys/time.h> /* struct timeval */

#if defined(__cplusplus)
#define ZL_NORETURN [[noreturn]]
extern "C" {
#else
#define ZL_NORETURN _Noreturn
#endif

#define ZL_API __attribute__((visibility("default")))

/* Declares the entry point of extension NAME, void Init_NAME(void), as the
 * loader looks it up: exported, and with C linkage in C++ too, where the
 * name would otherwise be mangled and the loader would not find it.
 *     ZL_INIT(hello) { zl_define_method(zl_cIO, "hello", ZL_FUNC(io_hello), 0); } */
#if defined(__cplusplus)
#define ZL_INIT(name) extern "C" ZL_API void Init_##name(void)
#else
#define ZL_INIT(name) ZL_API void Init_##name(void)
#endif

/* ---- values ------------------------------------------------------------ */

/* Every value is one 64-bit word: false 0, true 2, nil 4, an Integer n as
 * 2n+1; any other word points to a heap object (8-byte aligned). */
typedef uint64_t zl_value;

#define ZL_FALSE ((zl_value)0)
#define ZL_TRUE ((zl_value)2)
#define ZL_NIL ((zl_value)4)

/* Integer n as 2n+1, built in unsigned arithmetic: no overflow for any n. */
static inline zl_value zl_int_new(int32_t n) { return ((zl_value)(int64_t)n << 1) | 1u; }
static inline int zl_is_int(zl_value v) { return (int)(v & 1u); }
static inline int zl_is_nil(zl_value v) { return v == ZL_NIL; }
static inline zl_value zl_bool(int truth) { return truth ? ZL_TRUE : ZL_FALSE; }

/* ---- objects ----------------------------------------------------------- */

/* The two-word header every heap object begins with. */
typedef struct zl_object {
    zl_value flags; /* the object's type, in the low bits */
    zl_value klass; /* its class */
} zl_object;

/* An open stream's record. The runtime keeps more after the descriptor;
 * an extension reads the descriptor only, and only while a call lasts. */
typedef struct zl_openfile {
    int fd;
} zl_openfile;

/* An IO object: the header, then its open-file record. */
typedef struct zl_io {
    zl_object header;
    zl_openfile *record;
} zl_io;

/* Reach the record of an IO object (after zl_io_taint_check). */
static inline zl_openfile *zl_io_record(zl_value io) { return ((zl_io *)(uintptr_t)io)->record; }

/* The IO class. */
extern ZL_API zl_value zl_cIO;

/* The Array class: values in order, in memory the runtime owns. */
extern ZL_API zl_value zl_cArray;

/* ---- calls --------------------------------------------------------------- */

/* A method function, registered through the generic pointer type: arity
 * n >= 0 is called as f(self, a1, ..., an) and arity -1 as
 * f(int argc, const zl_value *argv, zl_value self); each returns a value. */
typedef void (*zl_func)(void);
#define ZL_FUNC(f) ((zl_func)(f))

/* Define method NAME on class KLASS. A call with another argument count
 * than a fixed ARITY raises ArgumentError before FUNC runs. */
ZL_API void zl_define_method(zl_value klass, const char *name, zl_func func, int arity);

/* Define method NAME on the class object KLASS itself, called as
 * KLASS.NAME(...) with KLASS as the receiver; arity as zl_define_method. */
ZL_API void zl_define_singleton_method(zl_value klass, const char *name, zl_func func, int arity);

/* Return ARY if it is an Array; raise TypeError for anything else. */
ZL_API zl_value zl_check_array(zl_value ary);

/* A new, empty Array. */
ZL_API zl_value zl_ary_new(void);

/* Append V to the Array ARY. */
ZL_API void zl_ary_push(zl_value ary, zl_value v);

/* The number of values in the Array ARY, and the values in order: the
 * pointer is good until ARY next changes. */
ZL_API long zl_ary_len(zl_value ary);
ZL_API const zl_value *zl_ary_ptr(zl_value ary);

/* Return the IO object to work on; raise TypeError for anything else. */
ZL_API zl_value zl_io_taint_check(zl_value io);

/* Return only if RECORD exists and its stream is open; else raise IOError. */
ZL_API void zl_io_check_closed(zl_openfile *record);

/* Return only if the stream is open for reading; else raise IOError. */
ZL_API void zl_io_check_readable(zl_openfile *record);

/* Bytes read from the descriptor and held unread in the read buffer. */
ZL_API int zl_io_read_pending(zl_openfile *record);

/* Return only if the stream is open for writing; else raise IOError. */
ZL_API void zl_io_check_writable(zl_openfile *record);

/* Bytes written to the stream and held in its write buffer, not yet given
 * to the kernel. */
ZL_API long zl_io_write_pending(zl_openfile *record);

/* Bytes a write could add to the write buffer now with no system call
 * (0 when the stream writes through, unbuffered, or its buffer is full). */
ZL_API long zl_io_write_room(zl_openfile *record);

/* The poll bits that event words ask for: WORDS is one String or an Array
 * of them, each "readable" (POLLIN), "writable" (POLLOUT), "priority"
 * (POLLPRI), "hangup" (POLLRDHUP: the peer's half-close; a full POLLHUP is
 * reported unasked) or "error" (nothing more: POLLERR is reported unasked).
 * Raises TypeError for a value that is neither, ArgumentError for an unknown
 * word or an empty Array. */
ZL_API int zl_io_events(zl_value words);

/* A new Array of the words for poll bits REVENTS, in the order above
 * (POLLHUP and POLLRDHUP both "hangup"). Its Strings are the runtime's own,
 * never freed: releasing the Array leaves nothing behind. */
ZL_API zl_value zl_io_event_words(int revents);

/* Scan ARGC/ARGV against FMT ("<required><optional>" digits), storing each
 * argument, or nil for an omitted optional, through the zl_value pointers
 * that follow. Raise ArgumentError on a wrong count. */
ZL_API void zl_scan_args(int argc, const zl_value *argv, const char *fmt, ...);

/* Convert a time limit (an Integer or Float of zero or more) to seconds and
 * microseconds. Raise ArgumentError, TypeError or RangeError otherwise. */
ZL_API struct timeval zl_time_interval(zl_value limit);

/* The two calls above inline, where the compiler can see what they get: a
 * format written as a constant (e.g. "01") and a count that fits it stores
 * the slots here; an Integer of zero or more is converted here. Everything
 * else goes to the exported function, which keeps its whole contract, raising
 * included. So a call behaves the same either way; it only costs less.
 * (zl_scan_args)(...) and (zl_time_interval)(...) call the exported functions
 * by name. A call of zl_scan_args passes at most 18 pointers ("99"). */
#if defined(__GNUC__) && !defined(ZL_NO_INLINE_CALLS)

#define ZL_INLINE_ static inline __attribute__((always_inline))
#define ZL_MOST_SLOTS_ 18

/* FMT's shape as (valid << 8 | optional << 4 | required), or 0 when
 * malformed; for a constant FMT, a constant. */
ZL_INLINE_ unsigned zl_scan_shape_(const char *fmt) {
    unsigned required, optional = 0;
    if (!fmt) return 0;
    required = (unsigned)(unsigned char)fmt[0] - '0';
    if (required > 9) return 0;
    if (fmt[1]) {
        optional = (unsigned)(unsigned char)fmt[1] - '0';
        if (optional > 9 || fmt[2]) return 0;
    }
    return 0x100u | optional << 4 | required;
}

/* LIST: the format, then the pointers, null past those the call passes. */
ZL_INLINE_ zl_value *zl_scan_slot_(const void *const *list, unsigned i) {
    return (zl_value *)list[1 + i];
}

ZL_INLINE_ void zl_scan_args_inline_(int argc, const zl_value *argv, const void *const *list) {
    const char *fmt = (const char *)list[0];
    const unsigned shape = zl_scan_shape_(fmt);
    if (__builtin_constant_p(shape) && shape != 0) {
        const unsigned required = shape & 15u, optional = shape >> 4 & 15u;
        unsigned i;
        /* every slot given, as a call mostly gives them: two tests, a copy each */
        if (__builtin_expect(argc == (int)(required + optional) && argv, 1)) {
            for (i = 0; i < required + optional; ++i) {
                zl_value *out = zl_scan_slot_(list, i);
                if (out) *out = argv[i];
            }
            return;
        }
        /* REQUIRED <= ARGC <= REQUIRED + OPTIONAL, with an array when ARGC > 0 */
        if ((unsigned)argc - required <= optional && (argv || argc == 0)) {
            for (i = 0; i < required + optional; ++i) {
                zl_value *out = zl_scan_slot_(list, i);
                if (out) *out = i < (unsigned)argc ? argv[i] : ZL_NIL;
            }
            return;
        }
        /* any other count: the exported call raises. It stores into scratch
         * slots, copied out should it return, so that no slot's address
         * leaves the caller, whose slots may then stay in registers. */
        {
            zl_value scratch[ZL_MOST_SLOTS_];
            (zl_scan_args)(argc, argv, fmt, &scratch[0], &scratch[1], &scratch[2], &scratch[3],
                           &scratch[4], &scratch[5], &scratch[6], &scratch[7], &scratch[8],
                           &scratch[9], &scratch[10], &scratch[11], &scratch[12], &scratch[13],
                           &scratch[14], &scratch[15], &scratch[16], &scratch[17]);
            for (i = 0; i < required + optional; ++i) {
                zl_value *out = zl_scan_slot_(list, i);
                if (out) *out = scratch[i];
            }
        }
        return;
    }
#define ZL_SLOT_(i) zl_scan_slot_(list, i)
    (zl_scan_args)(argc, argv, fmt, ZL_SLOT_(0), ZL_SLOT_(1), ZL_SLOT_(2), ZL_SLOT_(3), ZL_SLOT_(4),
                   ZL_SLOT_(5), ZL_SLOT_(6), ZL_SLOT_(7), ZL_SLOT_(8), ZL_SLOT_(9), ZL_SLOT_(10),
                   ZL_SLOT_(11), ZL_SLOT_(12), ZL_SLOT_(13), ZL_SLOT_(14), ZL_SLOT_(15),
                   ZL_SLOT_(16), ZL_SLOT_(17));
#undef ZL_SLOT_
}

/* Each argument evaluated once, as in a call. The pointers past those the
 * call passes are null, and skipped as any null pointer is. */
#define zl_scan_args(argc, argv, ...)                                                              \
    __extension__({                                                                                \
        const void *const zl_scan_list_[1 + ZL_MOST_SLOTS_] = {__VA_ARGS__};                       \
        zl_scan_args_inline_((argc), (argv), zl_scan_list_);                                       \
    })

ZL_INLINE_ struct timeval zl_time_interval_inline_(zl_value limit) {
    if ((limit & 1u) && (int64_t)limit >= 0) { /* an Integer n >= 0, as 2n+1 */
        struct timeval tv;
        tv.tv_sec = (time_t)((int64_t)limit >> 1);
        tv.tv_usec = 0;
        return tv;
    }
    return (zl_time_interval)(limit);
}

#define zl_time_interval(limit) zl_time_interval_inline_(limit)

#endif /* inline calls */

/* Wait until FD has one of EVENTS (poll bits; 1 is readable) or LIMIT
 * passes (null: no limit). Above 0: ready, the poll bits the kernel reported
 * (revents: EVENTS found, and POLLHUP or POLLERR, which come unasked); 0:
 * limit passed, or, when FD is the stream of a method call running on this
 * thread, the stream was closed or (EVENTS holding readable) another
 * thread's read buffered input meanwhile; below 0: failure, cause in errno.
 * A close from another thread ends the wait with a signal, SIGURG unless
 * the environment's ZELT_WAKE_SIGNAL names another: the runtime blocks it in
 * each thread that calls a method on an IO, and opens it only inside this
 * wait. */
ZL_API int zl_wait_for_single_fd(int fd, int events, struct timeval *limit);

/* Wait until one of the N streams IOS (IO objects of open streams, open for
 * reading or writing as EVENTS asks) has input or LIMIT passes (null: no
 * limit). Input the runtime holds in a stream's read buffer counts for
 * readable, room in its write buffer for writable, and is found with no
 * system call; only then the kernel (poll bits EVENTS; 1 is readable, which
 * a stream at its end is too: a read would not wait). Returns an Array of the
 * streams, in the order of IOS, that have input or that a close from another
 * thread ended meanwhile (closed: its descriptor is not looked at again), or
 * nil when the limit passed. Raises ArgumentError for N below 1; TypeError
 * for a value that is no IO and IOError for a stream closed or not open for
 * EVENTS (each stream checked, in order, before any answer); SystemCallError
 * for a failed system call. A close of any of them from another thread ends
 * the wait as it ends zl_wait_for_single_fd. */
ZL_API zl_value zl_wait_for_streams(const zl_value *ios, long n, int events, struct timeval *limit);

/* ---- classes of an extension's own ---------------------------------------- */

/* Define class NAME under SUPER (an existing class, or nil for Object), or
 * return the class already named NAME. Its objects are made by
 * zl_data_new; methods go on it with zl_define_method. */
ZL_API zl_value zl_define_class(const char *name, zl_value super);

/* What an extension's objects of one kind carry: the kind's name, for the
 * messages, and the function that frees the data when an object is
 * released (may be null). An extension keeps one constant of it per kind. */
typedef struct zl_data_type {
    const char *name;
    void (*free_fn)(void *data);
} zl_data_type;

/* A new object of KLASS (a class from zl_define_class) carrying DATA of
 * kind TYPE; when the object is released, TYPE->free_fn(DATA) is called. */
ZL_API zl_value zl_data_new(zl_value klass, const zl_data_type *type, void *data);

/* The data OBJ carries; raise TypeError unless OBJ was made by zl_data_new
 * with TYPE. */
ZL_API void *zl_data_ptr(zl_value obj, const zl_data_type *type);

/* ---- selectors ------------------------------------------------------------ */

/* A set of streams registered once and waited on many times: each wait
 * costs in proportion to the streams that are ready, not to those
 * registered. Backed by the kernel's epoll; the selector holds one
 * descriptor of its own, none per stream. */
typedef struct zl_selector zl_selector;

/* A new, empty selector; raises SystemCallError when the kernel refuses
 * one (EMFILE at the descriptor limit). */
ZL_API zl_selector *zl_selector_new(void);

/* Close S (its registrations go, its descriptor is closed) if it is open,
 * then free it. Not while a thread waits on it. */
ZL_API void zl_selector_free(zl_selector *s);

/* Close S: its registrations go and its descriptor is closed; a later call
 * on it but zl_selector_free raises IOError. Raises IOError while a thread
 * waits on it. Closing a closed selector does nothing. */
ZL_API void zl_selector_close(zl_selector *s);

/* Register the IO object IO (open, readable) in S: 1 when added, 0 when it
 * was registered already. Raises TypeError (no IO), IOError (a closed or
 * write-only stream, a closed selector, one made before a fork) or
 * SystemCallError. A close of the stream takes it out of every selector
 * (a wait under way answers it, closed); releasing the IO object takes it
 * out unanswered. */
ZL_API int zl_selector_add(zl_selector *s, zl_value io);

/* Take IO out of S: 1 when it was registered, 0 when not. */
ZL_API int zl_selector_remove(zl_selector *s, zl_value io);

/* The number of open streams registered in S. */
ZL_API long zl_selector_size(const zl_selector *s);

/* Wait until a stream registered in S has input or LIMIT passes (null: no
 * limit; zero: one look). Input the runtime holds in a stream's read buffer
 * counts, and is found with no system call; a regular file is always ready.
 * Returns an Array of the streams with input, or at their end, and of those
 * closed since the last wait (each answered once, then out of S), or nil
 * when the limit passed. Raises ArgumentError for an invalid limit, IOError
 * for a closed selector, one made before a fork, or one another thread
 * waits on. A close of any of its streams from another thread ends the
 * wait, as it ends zl_wait_for_single_fd. */
ZL_API zl_value zl_selector_wait(zl_selector *s, struct timeval *limit);

/* Raise SystemCallError for the current errno (MESSAGE may be null). */
ZL_NORETURN ZL_API void zl_sys_fail(const char *message);

#if defined(__cplusplus)
}
#endif

#endif /* ZELT_H */
