// in_flight.hpp: a call on a stream, stopped where a close can meet it.
#pragma once

#include "calls.hpp"    // Outcome, call
#include "injector.hpp" // zf::Fault

#include <zelt/embed.hpp> // zl_value

#include <atomic>      // the caller's thread id
#include <future>      // the call's outcome
#include <memory>      // the hold, when there is one
#include <ostream>     // PrintTo
#include <string>      // what a call answers
#include <sys/types.h> // pid_t

namespace faults_test {

enum class Flight {
    None,       // no call on the stream
    NreadHeld,  // nread, held at its FIONREAD
    GetsHeld,   // gets, held at its preadv2 (the stream holds "mine\n")
    WaitHeld,   // wait, held just before its ppoll
    WaitAsleep, // wait, asleep in ppoll in the kernel
};

const char *flight_name(Flight f);
void PrintTo(Flight f, std::ostream *os); // test names and listings

// Starts the call of F on IO (whose descriptor is FD) on a thread of its own,
// and returns once it is held or asleep there.
class InFlight {
public:
    InFlight(zl_value io, int fd, Flight f);
    ~InFlight(); // lets a held call go, and waits for it
    InFlight(const InFlight &) = delete;
    InFlight &operator=(const InFlight &) = delete;

    bool held() const { return hold_ != nullptr; } // at its gate until let go
    void let_go();
    // What the call answered; false if it did not end within a few seconds.
    bool ends(Outcome *out);
    // Whether OUT is an answer the call may give: its own stream's, or the
    // closed-stream error.
    bool answered_rightly(const Outcome &out) const;

private:
    Flight flight_;
    std::unique_ptr<zf::Fault> hold_;
    std::atomic<pid_t> tid_{0};
    std::future<Outcome> call_;
};

} // namespace faults_test
