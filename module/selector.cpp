// selector.cpp: the Selector class: streams registered once, waited on many
// times, each wait costing in proportion to the streams that are ready.
//
//   sel = Selector.new
//   sel.register(io)      # io; registering it again changes nothing
//   sel.deregister(io)    # io, or nil when it was not registered
//   sel.wait(limit = nil) # an Array of the streams ready, or nil at the limit
//   sel.size              # the open streams registered
//   sel.close             # nil; its descriptor goes, later calls raise
//
// A stream is ready when input waits in the interpreter's read buffer (found
// with no system call) or in the kernel, or at its end. A stream closed by
// any thread leaves the selector; a wait under way ends at once, and the
// next wait answers it once, closed: the caller tells it by closed?.
#include "selector.hpp"

#include "time_limit.hpp" // time_limit

#include <zelt.h> // zl_value, the class, data and selector calls

static void selector_free(void *data) { zl_selector_free(static_cast<zl_selector *>(data)); }

static const zl_data_type selector_type = {"Selector", selector_free};

static zl_selector *selector_of(zl_value self) {
    return static_cast<zl_selector *>(zl_data_ptr(self, &selector_type));
}

static zl_value selector_s_new(zl_value klass) {
    zl_selector *s = zl_selector_new(); // raises at the descriptor limit, with nothing made
    return zl_data_new(klass, &selector_type, s);
}

static zl_value selector_register(zl_value self, zl_value io) {
    zl_selector_add(selector_of(self), io); // checks the stream: open, readable
    return io;
}

static zl_value selector_deregister(zl_value self, zl_value io) {
    return zl_selector_remove(selector_of(self), io) ? io : ZL_NIL;
}

static zl_value selector_wait(int argc, const zl_value *argv, zl_value self) {
    zl_selector *s = selector_of(self);
    zl_value limit; // the scan stores nil for an omitted limit
    zl_scan_args(argc, argv, "01", &limit);
    struct timeval interval;
    struct timeval *const until = time_limit(limit, &interval); // null: no limit
    return zl_selector_wait(s, until);
}

static zl_value selector_size(zl_value self) {
    return zl_int_new(static_cast<int32_t>(zl_selector_size(selector_of(self))));
}

static zl_value selector_close(zl_value self) {
    zl_selector_close(selector_of(self));
    return ZL_NIL;
}

static const struct {
    const char *name;
    zl_func fn;
    int arity;
} selector_methods[] = {
    {"register", ZL_FUNC(selector_register), 1}, {"deregister", ZL_FUNC(selector_deregister), 1},
    {"wait", ZL_FUNC(selector_wait), -1},        {"size", ZL_FUNC(selector_size), 0},
    {"close", ZL_FUNC(selector_close), 0},
};

void define_selector_class() {
    const zl_value klass = zl_define_class("Selector", ZL_NIL);
    zl_define_singleton_method(klass, "new", ZL_FUNC(selector_s_new), 0);
    for (const auto &m : selector_methods) zl_define_method(klass, m.name, m.fn, m.arity);
}
