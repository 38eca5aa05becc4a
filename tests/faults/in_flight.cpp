// in_flight.cpp: a call on a stream, stopped where a close can meet it.
#include "in_flight.hpp"

#include <in_syscall.hpp>   // zh::blocks_in
#include <kernel.hpp>       // nothing of the stream: only its IO
#include <syscall_seen.hpp> // zt::ppoll_seen

#include <chrono>   // bounds
#include <thread>   // yield
#include <unistd.h> // gettid

namespace faults_test {
namespace {

using zf::Sys;

struct Shape {
    const char *name;
    const char *method;
    Sys held_at;
    const char *own; // what it answers on its own stream; "" for nothing but the close
};

Shape shape(Flight f) {
    switch (f) {
    case Flight::None: return {"idle", nullptr, Sys::Ppoll, ""};
    case Flight::NreadHeld: return {"nread_held", "nread", Sys::Ioctl, "0"};
    case Flight::GetsHeld: return {"gets_held", "gets", Sys::Preadv2, "\"mine\\n\""};
    case Flight::WaitHeld: return {"wait_held", "wait", Sys::Ppoll, ""};
    case Flight::WaitAsleep: return {"wait_asleep", "wait", Sys::Ppoll, ""};
    }
    return {};
}

} // namespace

const char *flight_name(Flight f) { return shape(f).name; }

void PrintTo(Flight f, std::ostream *os) { *os << flight_name(f); }

InFlight::InFlight(zl_value io, int fd, Flight f) : flight_(f) {
    const Shape s = shape(f);
    if (!s.method) return;
    if (f != Flight::WaitAsleep)
        hold_ = std::make_unique<zf::Fault>(
            zf::Rule{.sys = s.held_at, .key = fd, .any_thread = true, .hold = true});
    call_ = std::async(std::launch::async, [this, io, s] {
        tid_ = ::gettid();
        return call(io, s.method);
    });
    if (hold_) {
        hold_->await_held();
        return;
    }
    while (!tid_.load()) std::this_thread::yield();
    zh::blocks_in(tid_.load(), zt::ppoll_seen(), std::chrono::seconds(10));
}

InFlight::~InFlight() {
    let_go();
    if (call_.valid()) call_.wait();
}

void InFlight::let_go() {
    if (hold_) hold_->release();
}

bool InFlight::ends(Outcome *out) {
    if (!call_.valid()) return true;
    if (call_.wait_for(std::chrono::seconds(5)) != std::future_status::ready) return false;
    *out = call_.get();
    return true;
}

bool InFlight::answered_rightly(const Outcome &out) const {
    if (flight_ == Flight::None) return out.text.empty(); // there was no call
    const std::string own = shape(flight_).own;
    return out.text == closed_stream() || (!own.empty() && out.text == own);
}

} // namespace faults_test
