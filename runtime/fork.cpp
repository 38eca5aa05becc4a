// fork.cpp: the runtime's locks across fork; the one place that registers
// fork handlers.
//
// The protocol:
// - prepare (the forking thread, before the C library's own fork work) takes
//   the runtime's short locks in one order: loader, definitions, interning,
//   registry, the thread table (in_flight_before_fork), then the buffer lock
//   of every stream (the registry, held, lists them). That order is the
//   runtime's only nesting: no section holds a short lock while it takes
//   another, but a release (thread table held) that drops a stream's buffer.
//   So every holder that prepare waits for ends its section without it.
// - A lock this thread holds already is skipped: the fork came from a signal
//   handler that interrupted its section. No other thread is inside that
//   section, no holder of another lock waits for it (a buffer lock is held
//   only within a call on its stream, and a release happens only once no
//   call is on it), and the interrupted section ends on each side when the
//   handler returns. The sections that allocate run with signals blocked, so
//   a handler never interrupts them; the thread table's are in_flight.cpp's.
// - parent: releases what prepare took, in reverse.
// - child: only the forking thread is left. Each stream's reader's turn held
//   by another thread is freed: that reader was waiting or between two
//   changes of the buffer, never inside one, as its changes are made under
//   the buffer lock that prepare holds. The buffer locks are freed, then the
//   thread table's child work runs (it may release streams, which takes
//   their buffer locks), then the other locks are freed. The fork generation
//   moves on: a load that a vanished thread had under way is taken over.
// - Two threads forking at once: the second waits in prepare for the
//   loader's lock until the first's parent side has released everything.
#include "internal.hpp"

#include <pthread.h> // pthread_atfork

namespace zelt::rt {
namespace {

// What this thread's prepare took, for its parent or child side to undo.
struct Taken {
    bool short_locks[4];
    Record *kept_buffer; // the stream whose buffer lock this thread held before
};
thread_local constinit Taken taken [[gnu::tls_model("initial-exec")]] = {};

OwnedLock *short_locks[4]; // in the order taken

void lock_buffer(Record *r) {
    if (r->buf_lock.held_here()) // an interrupted section of this thread: at most one
        taken.kept_buffer = r;
    else
        r->buf_lock.lock();
}

void unlock_buffer(Record *r) {
    if (r != taken.kept_buffer) r->buf_lock.unlock();
}

void reset_buffer(Record *r) {
    if (r->turn.held_by_other()) r->turn.reset_in_child();
    if (r != taken.kept_buffer) r->buf_lock.reset_in_child();
    write_buffer_in_child(r);
}

void prepare() {
    taken = {};
    for (std::size_t i = 0; i < 4; ++i) {
        taken.short_locks[i] = !short_locks[i]->held_here();
        if (taken.short_locks[i]) short_locks[i]->lock();
    }
    in_flight_before_fork();
    for_each_stream(lock_buffer);
}

void in_parent() {
    for_each_stream(unlock_buffer);
    in_flight_after_fork_parent();
    for (std::size_t i = 4; i-- > 0;)
        if (taken.short_locks[i]) short_locks[i]->unlock();
}

void in_child() {
    ++fork_generation; // under the loader's lock, which claims read it under
    for_each_stream(reset_buffer);
    in_flight_after_fork_child();
    for (std::size_t i = 4; i-- > 0;)
        if (taken.short_locks[i]) short_locks[i]->reset_in_child();
}

[[gnu::constructor(102)]] void register_handlers() { // after in_flight.cpp's start
    short_locks[0] = &loader_lock();
    short_locks[1] = &define_lock();
    short_locks[2] = &intern_lock();
    short_locks[3] = &registry_lock();
    pthread_atfork(prepare, in_parent, in_child);
}

} // namespace
} // namespace zelt::rt
