// stream_model.hpp: what a stream holds, as the runtime's reads should leave it.
//
// The bytes a peer wrote and nobody read yet sit either in the runtime's read
// buffer or in the kernel, in that order of the stream: the buffer holds the
// front. How far the runtime reads ahead is its own affair: the model takes
// the buffered count back from the runtime after each step (resync) and
// predicts only what each read hands out, which follows from the bytes alone.
#pragma once

#include <algorithm>   // std::min
#include <cstddef>     // size_t
#include <optional>    // nil results
#include <string>      // the bytes
#include <string_view> // the buffered part and the kernel's

namespace zh {

class StreamModel {
public:
    std::string_view pending() const { return std::string_view(unread_).substr(0, buffered_); }
    std::string_view kernel() const { return std::string_view(unread_).substr(buffered_); }
    bool eof() const { return eof_; }
    std::size_t unread() const { return unread_.size(); }

    void peer_wrote(const std::string &bytes) { unread_ += bytes; }
    void peer_closed() { eof_ = true; }

    // Where the runtime says its buffer stands: that many of the unread bytes
    // are buffered, the rest are in the kernel.
    void resync(std::size_t pending) { buffered_ = std::min(pending, unread_.size()); }

    // Whether gets, read(n) and read() can return without waiting for more.
    bool gets_ready() const { return eof_ || unread_.find('\n') != std::string::npos; }
    bool read_ready(std::size_t n) const { return eof_ || unread() >= n; }

    // A line, or at the end of the stream what is left (nil when nothing is).
    std::optional<std::string> gets() {
        const std::size_t nl = unread_.find('\n');
        if (nl != std::string::npos) return take(nl + 1);
        if (unread_.empty()) return std::nullopt;
        return take(unread_.size()); // the last line lacks its newline
    }

    std::optional<std::string> read(std::size_t n) {
        if (n > 0 && unread_.empty()) return std::nullopt;
        return take(std::min(n, unread_.size()));
    }

    std::string read_all() { return take(unread_.size()); }

private:
    std::string take(std::size_t n) {
        std::string out = unread_.substr(0, n);
        unread_.erase(0, n);
        buffered_ -= std::min(n, buffered_); // until the runtime says where it stands
        return out;
    }

    std::string unread_;       // written, not yet handed out: buffered, then in the kernel
    std::size_t buffered_ = 0; // the front part of unread_ in the runtime's buffer
    bool eof_ = false;
};

} // namespace zh
