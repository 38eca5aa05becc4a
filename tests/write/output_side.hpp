// output_side.hpp: streams made full, drained or left by their reader, and
// the output side's calls with their answers as text.
#pragma once

#include <kernel.hpp>     // zt::Held, zt::Ends
#include <zelt/embed.hpp> // call, array_values, string_value

#include <atomic>  // the drainer's stop
#include <cstddef> // size_t
#include <string>  // event words
#include <thread>  // the drainer
#include <vector>  // event words

namespace write_suite {

// Loads wait, wait_write and wait_many once, from the build tree.
void require_extensions();

// Writes to FD without waiting until the kernel takes no more (EAGAIN, and
// no room 20 ms later); the bytes it took. FD's flags are as they were afterwards.
std::size_t fill(int fd);

// Reads whatever FD holds without waiting; the bytes read.
std::size_t drain(int fd);

// The words of an answer of wait_for (empty for nil); the Array released.
std::vector<std::string> words(zl_value answer);

// wait_for(EVENTS) or wait_for(EVENTS, LIMIT) on IO, each event word a String.
std::vector<std::string> wait_for(zl_value io, const std::vector<std::string> &events);
std::vector<std::string> wait_for(zl_value io, const std::vector<std::string> &events,
                                  double limit);

// An IO object that writes through (sync = true), so that its output side
// answers from the kernel, not from room in its write buffer.
class Through : public zt::Io {
public:
    explicit Through(zt::Fd fd);
};

// Reads FD in a thread of its own until it is told to stop: a reader that
// keeps up.
class Drainer {
public:
    explicit Drainer(int fd);
    ~Drainer();
    Drainer(const Drainer &) = delete;
    Drainer &operator=(const Drainer &) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace write_suite
