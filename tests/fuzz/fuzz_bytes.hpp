// fuzz_bytes.hpp: the fuzz input read front to back, with zeros once it runs out.
#pragma once

#include <cstddef> // size_t
#include <cstdint> // uint8_t, uint64_t
#include <cstring> // memcpy
#include <string>  // text()

namespace zf {

class Bytes {
public:
    Bytes(const uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }

    uint8_t byte() { return empty() ? 0 : data_[pos_++]; }

    // Eight bytes, little-endian, short inputs padded with zeros.
    uint64_t word() {
        uint8_t raw[8] = {};
        std::size_t n = size_ - pos_ < 8 ? size_ - pos_ : 8;
        if (n) std::memcpy(raw, data_ + pos_, n);
        pos_ += n;
        uint64_t w = 0;
        for (int i = 7; i >= 0; --i) w = (w << 8) | raw[i];
        return w;
    }

    // A length byte, then up to that many bytes.
    std::string text() {
        std::size_t want = byte();
        std::size_t n = size_ - pos_ < want ? size_ - pos_ : want;
        std::string s(reinterpret_cast<const char *>(data_ + pos_), n);
        pos_ += n;
        return s;
    }

    // All that is left.
    std::string rest() {
        std::string s(reinterpret_cast<const char *>(data_ + pos_), size_ - pos_);
        pos_ = size_;
        return s;
    }

private:
    const uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

} // namespace zf
