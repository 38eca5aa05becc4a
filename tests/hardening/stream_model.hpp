// stream_model.hpp: what a stream holds, as the runtime's reads should leave it.
//
// The bytes a peer wrote and nobody read yet sit either in the kernel or in
// the runtime's read buffer, in that order of the stream: the buffer holds the
// front. A fill moves the unread bytes to the buffer's start, grows the buffer
// when less than a chunk is free, and takes from the kernel in one read as
// much as the kernel holds and the buffer has room for.
#pragma once

#include <algorithm> // std::min, std::max
#include <cstddef>   // size_t
#include <optional>  // nil results
#include <string>    // the bytes

namespace zh {

class StreamModel {
public:
    static constexpr std::size_t kChunk = 8192; // the runtime's read-ahead size

    const std::string &pending() const { return pending_; } // in the runtime's buffer
    const std::string &kernel() const { return kernel_; }   // written, not yet read
    bool eof() const { return eof_; }
    std::size_t unread() const { return pending_.size() + kernel_.size(); }

    void peer_wrote(const std::string &bytes) { kernel_ += bytes; }
    void peer_closed() { eof_ = true; }

    // Where the runtime says its buffer stands, for a kernel that delivers in
    // pieces: the buffer is always a front part of the unread bytes.
    void resync(std::size_t pending) {
        std::string all = pending_ + kernel_;
        pending_ = all.substr(0, pending);
        kernel_ = all.substr(pending);
    }

    // Whether gets, read(n) and read() can return without waiting for more.
    bool gets_ready() const { return eof_ || (pending_ + kernel_).find('\n') != std::string::npos; }
    bool read_ready(std::size_t n) const { return eof_ || unread() >= n; }

    std::optional<std::string> gets() {
        std::size_t nl;
        while ((nl = pending_.find('\n')) == std::string::npos) {
            if (kernel_.empty()) { // the end of the stream: the last line lacks its newline
                if (pending_.empty()) return std::nullopt;
                return take(pending_.size());
            }
            fill();
        }
        return take(nl + 1);
    }

    std::optional<std::string> read(std::size_t n) {
        while (pending_.size() < n && !kernel_.empty()) fill();
        if (n > 0 && pending_.empty()) return std::nullopt;
        return take(std::min(n, pending_.size()));
    }

    std::string read_all() {
        while (!kernel_.empty()) fill();
        return take(pending_.size());
    }

private:
    void fill() {
        const std::size_t end = pending_.size();
        if (capacity_ - end < kChunk) capacity_ = std::max(capacity_ * 2, end + kChunk);
        const std::size_t n = std::min(kernel_.size(), capacity_ - end);
        pending_ += kernel_.substr(0, n);
        kernel_.erase(0, n);
    }

    std::string take(std::size_t n) {
        std::string out = pending_.substr(0, n);
        pending_.erase(0, n);
        return out;
    }

    std::string pending_, kernel_;
    std::size_t capacity_ = 0; // the runtime's buffer size: it grows and never shrinks
    bool eof_ = false;
};

} // namespace zh
