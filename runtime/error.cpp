// error.cpp: exceptions, and errno turned into one in a single place.
#include "internal.hpp"

#include <cerrno>  // errno
#include <cstring> // strerror_r, strerrorname_np

namespace zelt {

Error::Error(zl_value klass, std::string message, int err)
    : klass_(klass), class_name_(zelt::class_name(klass)), message_(std::move(message)),
      full_(class_name_ + ": " + message_), err_(err) {}

namespace rt {

zl_value eArgumentError, eTypeError, eRangeError, eIOError, eSystemCallError, eNoMethodError,
    eLoadError;

void raise(zl_value klass, std::string message, int err) {
    throw Error(klass, std::move(message), err);
}

// "ENOTTY: Inappropriate ioctl for device", with the caller's words after.
static std::string errno_text(int err, const char *message) {
    const char *symbol = strerrorname_np(err);
    char buf[256];
    const char *text = strerror_r(err, buf, sizeof buf); // the GNU variant returns the text
    std::string out = symbol ? symbol : "errno " + std::to_string(err);
    out += ": ";
    out += text;
    if (message) {
        out += " - ";
        out += message;
    }
    return out;
}

} // namespace rt
} // namespace zelt

extern "C" void zl_sys_fail(const char *message) {
    int err = errno; // first, before anything can change it
    zelt::rt::raise(zelt::rt::eSystemCallError, zelt::rt::errno_text(err, message), err);
}
