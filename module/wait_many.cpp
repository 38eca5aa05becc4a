// wait_many.cpp: IO.wait_any, a wait for input on several streams at once.
//
// IO.wait_any(streams, limit = nil, events = nil) takes an Array of IO
// objects, each open for reading, and answers an Array of those with input
// waiting, in the order given, or nil when the limit passed first. Input the
// interpreter already holds in a stream's read buffer counts, with no system
// call; a stream at its end counts too (a read would not wait). A stream
// closed by another thread during the wait ends it and is in the answer,
// closed: the caller tells it by closed?. EVENTS, event words as wait_for
// takes them (nil: "readable"), asks for those instead: each stream must be
// open for reading for readable or priority, for writing for writable.
#include "selector.hpp" // define_selector_class

#include "time_limit.hpp" // time_limit

#include <zelt.h> // zl_value, the Array and IO calls, zl_wait_for_streams, zl_io_events

#include <poll.h> // POLLIN

static zl_value io_s_wait_any(int argc, const zl_value *argv, zl_value klass) {
    (void)klass;                     // IO itself
    zl_value streams, limit, wanted; // the scan stores nil for an omitted one
    zl_scan_args(argc, argv, "12", &streams, &limit, &wanted);
    const long n = zl_ary_len(zl_check_array(streams));
    const int events = wanted == ZL_NIL ? POLLIN : zl_io_events(wanted);
    struct timeval interval;
    struct timeval *const until = time_limit(limit, &interval); // null: no limit
    // Checks each stream as it builds the set (IO, open, open for EVENTS), in one pass.
    return zl_wait_for_streams(zl_ary_ptr(streams), n, events, until); // raises for an empty set
}

static const struct {
    const char *name;
    zl_func fn;
    int arity;
} io_class_methods[] = {
    {"wait_any", ZL_FUNC(io_s_wait_any), -1},
};

ZL_INIT(wait_many) {
    for (const auto &m : io_class_methods)
        zl_define_singleton_method(zl_cIO, m.name, m.fn, m.arity);
    define_selector_class();
}
