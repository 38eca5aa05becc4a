// fuzz_scan_args.cpp: zl_scan_args over any format, argument count and out-pointers.
//
// Input: a flags byte, an argument-count byte, a null-pointer mask, then the
// format's bytes (up to the first NUL). A well-formed "<required><optional>"
// format with a fitting count stores each argument, or nil for an omitted
// optional, through the first required+optional pointers and touches nothing
// else; every other call raises ArgumentError before storing anything.
#include "fuzz_bytes.hpp" // zf::Bytes

#include <zelt/embed.hpp> // zl_scan_args, zelt::Error, integer

#include <climits> // INT_MIN
#include <cstdint> // uint8_t, uint64_t
#include <cstdio>  // fprintf
#include <cstdlib> // abort
#include <cstring> // strlen
#include <string>  // the format

namespace {

constexpr int kMostPointers = 18;                // "99": nine required, nine optional
constexpr zl_value kCanary = 0xC0FFEE00C0FFEE00; // never an argument or nil

struct Shape {
    bool valid;
    int required, optional;
};

Shape shape_of(const char *fmt) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!fmt || !digit(fmt[0])) return {false, 0, 0};
    if (!fmt[1]) return {true, fmt[0] - '0', 0};
    if (!digit(fmt[1]) || fmt[2]) return {false, 0, 0};
    return {true, fmt[0] - '0', fmt[1] - '0'};
}

[[noreturn]] void fail(const char *fmt, int argc, const std::string &why) {
    std::fprintf(stderr, "zl_scan_args(%d, \"%s\"): %s\n", argc, fmt ? fmt : "(null)", why.c_str());
    std::abort();
}

int argc_from(uint8_t b) {
    if (b == 0xFF) return INT_MIN;
    if (b & 0x80) return -(b & 0x7F) - 1;
    return b % 10;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    zf::Bytes in(data, size);
    const uint8_t flags = in.byte();
    const int argc = argc_from(in.byte());
    uint32_t null_mask = 0; // which out-pointers are null
    if (flags & 1) null_mask = in.byte() | (in.byte() << 8) | (uint32_t{in.byte()} << 16);
    const std::string format = in.rest();
    const char *fmt = flags & 2 ? nullptr : format.c_str();

    zl_value args[9];
    for (int i = 0; i < 9; ++i) args[i] = zelt::integer(100 + i);
    const zl_value *argv = flags & 4 ? nullptr : args;

    zl_value slots[kMostPointers + 2]; // a guard word on each side
    for (zl_value &s : slots) s = kCanary;
    zl_value *out[kMostPointers];
    for (int i = 0; i < kMostPointers; ++i) out[i] = null_mask >> i & 1 ? nullptr : &slots[i + 1];

    const Shape shape = shape_of(fmt);
    const bool fits = shape.valid && argc >= shape.required &&
                      argc <= shape.required + shape.optional && (argc == 0 || argv);
    try {
        zl_scan_args(argc, argv, fmt, out[0], out[1], out[2], out[3], out[4], out[5], out[6],
                     out[7], out[8], out[9], out[10], out[11], out[12], out[13], out[14], out[15],
                     out[16], out[17]);
    } catch (const zelt::Error &e) {
        if (fits) fail(fmt, argc, "raised " + std::string(e.what()));
        if (e.class_name() != "ArgumentError") fail(fmt, argc, "raised " + std::string(e.what()));
        if (shape.valid && argc >= 0 && argc <= 9 && argv &&
            e.message().find("given " + std::to_string(argc)) == std::string::npos)
            fail(fmt, argc, "a count error that does not name the count: " + e.message());
        for (zl_value s : slots)
            if (s != kCanary) fail(fmt, argc, "stored before raising");
        return 0;
    }
    if (!fits) fail(fmt, argc, "accepted");
    const int scanned = shape.required + shape.optional;
    for (int i = 0; i < kMostPointers + 2; ++i) {
        const int arg = i - 1; // slots[i] is the out-pointer for argument i-1
        zl_value want = kCanary;
        if (arg >= 0 && arg < scanned && out[arg]) want = arg < argc ? args[arg] : ZL_NIL;
        if (slots[i] != want)
            fail(fmt, argc, "slot " + std::to_string(arg) + " holds " + std::to_string(slots[i]));
    }
    return 0;
}
