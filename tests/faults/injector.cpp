// injector.cpp: the armed rules, and the gate every interposed call passes.
//
// The interposed calls run on any thread, from the runtime's constructor on
// (before main), and some from inside the C++ library's own waits: so the
// state is constant-initialised atomics, with no lock and no allocation.
// Arming and disarming pair with the gate through `users`: the gate counts
// itself in before it reads a slot, the disarm marks the slot and then waits
// for that count to drain (both seq_cst), so a rule is never read while it is
// rewritten for the next test. A hold is a handshake on `held`: the held
// call moves it from not-held to stopped and waits; release (or the disarm)
// moves it to go. A release that comes first lets the call pass unstopped.
#include "gate.hpp"

#include <array>              // the slots
#include <atomic>             // every field, read from any thread
#include <cerrno>             // errno, kept across the gate
#include <cstdlib>            // getenv, strtol: a fault armed at start
#include <cstring>            // strncmp, strlen
#include <linux/membarrier.h> // MEMBARRIER_CMD_*: the barrier as it went
#include <pthread.h>          // pthread_self: the arming thread
#include <stdexcept>          // no free slot
#include <thread>             // yield while a gate drains

namespace zf {
namespace {

enum State : int { kFree, kArming, kArmed, kDisarming };
enum Held : int { kNotHeld, kStopped, kGo };

struct Slot {
    std::atomic<int> state{kFree};
    std::atomic<int> users{0};
    std::atomic<Sys> sys{};
    std::atomic<int> err{0}, key{kAnyKey};
    std::atomic<unsigned> after{0}, times{0};
    std::atomic<pthread_t> thread{0}; // 0: any
    std::atomic<bool> hold{false};
    std::atomic<unsigned> seen{0}, hits{0};
    std::atomic<int> held{kNotHeld};
};

constexpr std::size_t kSlots = 8;
constinit std::array<Slot, kSlots> slots;
constinit std::atomic<int> armed{0}; // a quick "nothing to look at" for every other call
constinit std::atomic<bool> registered{false};
constinit std::atomic<bool> start_read{false};

bool matches(const Slot &s, Sys sys, int key) {
    if (s.sys.load(std::memory_order_relaxed) != sys) return false;
    const int want = s.key.load(std::memory_order_relaxed);
    if (want != kAnyKey && want != key) return false;
    const pthread_t owner = s.thread.load(std::memory_order_relaxed);
    return owner == 0 || pthread_equal(owner, pthread_self());
}

void stop(Slot &s) { // the held call, until released or disarmed
    int h = kNotHeld;
    if (!s.held.compare_exchange_strong(h, kStopped)) return; // let go before it came
    s.held.notify_all();
    for (h = kStopped; h != kGo; h = s.held.load()) s.held.wait(h);
}

// The errno the call fails with, or 0. Under s.users.
int take(Slot &s) {
    const unsigned n = s.seen.fetch_add(1);
    const unsigned after = s.after.load(std::memory_order_relaxed);
    const unsigned times = s.times.load(std::memory_order_relaxed);
    if (n < after || n - after >= times) return 0;
    s.hits.fetch_add(1);
    if (n == after && s.hold.load(std::memory_order_relaxed)) stop(s);
    return s.err.load(std::memory_order_relaxed);
}

// ZF_AT_START=CALL:KEY:ERRNO[:TIMES] (numbers; CALL one of the names below)
// fails that call from the process's start on, before main: the runtime's own
// start-up (the barrier's registration, the handler, the mask) runs in its
// constructor, before any test can arm a Fault. The slot stays armed; it
// fails every matching call, or only the first TIMES.
void arm_at_start() {
    static constexpr struct {
        const char *name;
        Sys sys;
    } calls[] = {
        {"membarrier", Sys::Membarrier}, {"sigaction", Sys::Sigaction}, {"sigmask", Sys::Sigmask}};
    const char *text = std::getenv("ZF_AT_START");
    if (!text) return;
    for (const auto &c : calls) {
        const std::size_t n = std::strlen(c.name);
        if (std::strncmp(text, c.name, n) != 0 || text[n] != ':') continue;
        char *rest = nullptr;
        const long key = std::strtol(text + n + 1, &rest, 10);
        if (*rest != ':') return;
        const long err = std::strtol(rest + 1, &rest, 10);
        const unsigned long times = *rest == ':' ? std::strtoul(rest + 1, &rest, 10) : kEvery;
        Slot &s = slots[kSlots - 1]; // the last: tests arm from the first
        s.sys.store(c.sys);
        s.err.store(static_cast<int>(err));
        s.key.store(static_cast<int>(key));
        s.times.store(static_cast<unsigned>(times));
        s.state.store(kArmed);
        armed.fetch_add(1);
    }
}

} // namespace

bool armed_at_start() { return std::getenv("ZF_AT_START") != nullptr; }

namespace gate {

int enter(Sys sys, int key) {
    if (!start_read.load(std::memory_order_relaxed) && !start_read.exchange(true)) arm_at_start();
    if (armed.load() == 0) return 0;
    const int saved = errno; // the waits below may set it
    int fail = 0;
    for (Slot &s : slots) {
        s.users.fetch_add(1); // before the state: see the comment at the top
        const bool mine = s.state.load() == kArmed && matches(s, sys, key);
        if (mine) fail = take(s);
        s.users.fetch_sub(1);
        if (mine) break;
    }
    errno = saved;
    return fail;
}

void note_barrier(long command, bool done) {
    if (command == MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED && done) registered.store(true);
    if (command == MEMBARRIER_CMD_PRIVATE_EXPEDITED && !done) registered.store(false); // for good
}

} // namespace gate

Fault::Fault(const Rule &rule) : slot_(kSlots) {
    for (std::size_t i = 0; i < kSlots && slot_ == kSlots; ++i) {
        int free = kFree;
        if (slots[i].state.compare_exchange_strong(free, kArming)) slot_ = i;
    }
    if (slot_ == kSlots)
        throw std::logic_error("more faults armed at once than the injector has slots");
    Slot &s = slots[slot_];
    s.sys.store(rule.sys);
    s.err.store(rule.err);
    s.key.store(rule.key);
    s.after.store(rule.after);
    s.times.store(rule.times);
    s.thread.store(rule.any_thread ? pthread_t{} : pthread_self());
    s.hold.store(rule.hold);
    s.seen.store(0);
    s.hits.store(0);
    s.held.store(kNotHeld);
    s.state.store(kArmed);
    armed.fetch_add(1);
}

Fault::~Fault() {
    Slot &s = slots[slot_];
    release();
    s.state.store(kDisarming);
    while (s.users.load() != 0) std::this_thread::yield(); // a gate still reading this slot
    armed.fetch_sub(1);
    s.state.store(kFree);
}

unsigned Fault::seen() const { return slots[slot_].seen.load(); }
unsigned Fault::hits() const { return slots[slot_].hits.load(); }

void Fault::await_held() {
    Slot &s = slots[slot_];
    for (int h = s.held.load(); h == kNotHeld; h = s.held.load()) s.held.wait(h);
}

void Fault::release() {
    Slot &s = slots[slot_];
    s.held.store(kGo);
    s.held.notify_all();
}

bool barrier_registered() { return registered.load(); }

} // namespace zf
