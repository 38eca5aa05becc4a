// calls.hpp: method calls made for the fault tests, and what they left.
#pragma once

#include <kernel.hpp>     // zt::Ends, zt::make_pipe
#include <zelt/embed.hpp> // zl_value

#include <future>      // a call on a thread of its own
#include <string>      // what a call answered
#include <sys/types.h> // ino_t
#include <vector>      // arguments

namespace faults_test {

// What a call answered, inspected ("5", "nil", "\"a\\n\""), or what it raised
// ("SystemCallError: EIO: Input/output error") with the errno it carried.
struct Outcome {
    std::string text;
    int err = 0;
};

Outcome call(zl_value io, const char *method, const std::vector<zl_value> &args = {});
std::future<Outcome> call_on_thread(zl_value io, const char *method,
                                    const std::vector<zl_value> &args = {});

// IO's close, made on a thread of its own: what it answered. A close that
// does not return within seconds cannot be freed: the run ends there, saying so.
Outcome close_within_seconds(zl_value io);
// What CLOSING (a close on a thread of its own) answered, bounded the same way.
Outcome returned_within_seconds(std::future<Outcome> &closing);

// A pipe holding DATA whose writer has hung up: the rest is end of stream,
// so that no call blocks for good, whatever the runtime does.
zt::Ends pipe_with(const char *data);

ino_t inode_of(int fd);      // 0 once FD names nothing
bool is_released(int fd);    // FD is closed: the kernel says EBADF
const char *closed_stream(); // the text of a call on a closed stream
bool starts(const std::string &text, const std::string &prefix);

} // namespace faults_test
