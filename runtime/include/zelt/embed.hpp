// embed.hpp: the embedding API of libzelt, for tools, tests and benchmarks.
//
// It makes values, wraps descriptors in IO objects, calls methods the way a
// Zelt program does, loads extensions, and reports what a call raised.
#pragma once

#include <zelt.h> // zl_value and the extension interface

#include <cstdint>          // int64_t
#include <exception>        // std::exception
#include <initializer_list> // call(recv, name, {args})
#include <string>           // Error's texts, inspect()
#include <string_view>      // str()
#include <vector>           // methods_of(), extension_path()

namespace zelt {

// An exception raised through the runtime: its class name, message and,
// for a failed system call, the errno (0 otherwise).
class ZL_API Error : public std::exception {
public:
    Error(zl_value klass, std::string message, int err = 0);
    const char *what() const noexcept override { return full_.c_str(); }
    zl_value klass() const noexcept { return klass_; }
    const std::string &class_name() const noexcept { return class_name_; }
    const std::string &message() const noexcept { return message_; }
    int err() const noexcept { return err_; }

private:
    zl_value klass_;
    std::string class_name_, message_, full_; // full_: "Class: message"
    int err_;
};

// A method name, interned once so that a call looks it up without hashing.
using Id = std::uint32_t;
ZL_API Id intern(std::string_view name);
ZL_API std::string_view id_name(Id id);

// Values. Integers outside the 62 bits an immediate holds raise RangeError.
ZL_API zl_value integer(int64_t n);
ZL_API zl_value flt(double d);
ZL_API zl_value str(std::string_view s);
ZL_API bool is_integer(zl_value v);
ZL_API int64_t integer_value(zl_value v); // raises TypeError for others
ZL_API bool is_float(zl_value v);
ZL_API double float_value(zl_value v); // raises TypeError for others
ZL_API bool is_string(zl_value v);
ZL_API std::string string_value(zl_value v); // raises TypeError for others
ZL_API bool is_io(zl_value v);
// An Array holding VALUES in order (it holds them, it does not own them:
// releasing it releases none of them).
ZL_API zl_value array(std::vector<zl_value> values);
ZL_API bool is_array(zl_value v);
ZL_API std::vector<zl_value> array_values(zl_value v); // raises TypeError for others

// The class of any value, and a class's name ("IO", "Integer", ...).
ZL_API zl_value class_of(zl_value v);
ZL_API std::string class_name(zl_value klass);
ZL_API zl_value class_named(std::string_view name); // nil when none
// Classes' methods and arities, for looking at what an extension defined.
struct MethodInfo {
    std::string name;
    int arity;
};
ZL_API std::vector<MethodInfo> methods_of(zl_value klass);

// An IO object over descriptor FD, which it owns from now on (its close
// closes FD). Its mode comes from the descriptor's flags; an invalid
// descriptor raises SystemCallError and FD stays the caller's.
ZL_API zl_value io_new(int fd);
ZL_API int io_fd(zl_value io); // -1 once released
ZL_API bool io_closed(zl_value io);
// With ON false, the runtime's reads on IO take no byte past what each call
// asks for (gets: the line; read(n): n bytes), so that whoever reads the
// stream next gets every byte after them: a byte per read(2) on pipes,
// FIFOs and terminals, a peek then a read on stream sockets. Regular files
// keep reading ahead: their offset goes back over the unread bytes when the
// stream is closed. Datagram sockets read whole datagrams either way.
ZL_API void io_set_read_ahead(zl_value io, bool on);

// The signal that ends a thread's wait in the runtime when another thread
// closes the stream (SIGURG unless ZELT_WAKE_SIGNAL names another). The
// runtime never blocks it; its blocking waits open it if the thread has.
ZL_API int wake_signal();

// Does nothing: a blocking wait runs with its thread's mask as it is at the
// wait (a handler's, in a handler), the wake signal open. Kept for programs
// that called it when waits took the mask of their thread's first call.
ZL_API void signal_mask_changed();

// Free a heap object made by the runtime, closing an IO first. Only when no
// call on it is in flight; immediates are left alone.
ZL_API void release(zl_value v);

// Call method ID or NAME on RECV with ARGC arguments, as a program does.
ZL_API zl_value call(zl_value recv, Id id, int argc, const zl_value *argv);
ZL_API zl_value call(zl_value recv, std::string_view name,
                     std::initializer_list<zl_value> args = {});

// How a value prints: 5, 2.5, true, nil, "a\n" (escaped), #<IO:fd 0>.
ZL_API std::string inspect(zl_value v);

// Load extension NAME (NAME.so on ZELT_EXT_PATH, then the built-in
// directory) and call its Init_NAME once. Returns false when it was
// loaded already; raises LoadError when it cannot be loaded.
ZL_API bool require(std::string_view name);
// The directories searched, in order.
ZL_API std::vector<std::string> extension_path();

} // namespace zelt
