// events.cpp: the event words a wait on one stream or on many is asked for
// and answers with, and their poll bits: one table for every extension.
//
// The words are Strings the runtime makes once and keeps: an answer's Array
// holds these, so releasing the Array (which releases none of its values)
// leaves nothing behind, and a release of a word itself does nothing.
#include "internal.hpp"

#include <poll.h> // POLLIN, POLLOUT, POLLPRI, POLLHUP, POLLRDHUP, POLLERR
#include <string> // the refusal's message
#include <vector> // the answer's values

namespace zelt::rt {
namespace {

// "hangup" asks for the peer's half-close too (POLLRDHUP); a full hang-up
// and an error the kernel reports whether asked or not, so "error" asks for
// nothing more than any wait gets.
struct EventWord {
    const char *name;
    int asks;    // the poll bits the word asks for
    int answers; // the bits that make it part of an answer
};
constexpr EventWord kWords[] = {
    {"readable", POLLIN, POLLIN},   {"writable", POLLOUT, POLLOUT},
    {"priority", POLLPRI, POLLPRI}, {"hangup", POLLRDHUP, POLLHUP | POLLRDHUP},
    {"error", 0, POLLERR},
};
constexpr std::size_t kWordCount = sizeof kWords / sizeof kWords[0];

// The words' Strings, made once and never freed.
const zl_value *word_values() {
    static const auto *values = [] {
        auto *v = new zl_value[kWordCount];
        for (std::size_t i = 0; i < kWordCount; ++i) v[i] = permanent_str(kWords[i].name);
        return v;
    }();
    return values;
}

[[noreturn, gnu::cold]] void not_a_word(zl_value v) {
    raise(eTypeError,
          "an event is a String (readable, writable, priority, hangup, error), not " + inspect(v));
}

int bits_of(zl_value word) {
    if (!is_heap_of(word, Type::String)) not_a_word(word);
    const std::string &text = as<String>(word)->value;
    for (const EventWord &w : kWords)
        if (text == w.name) return w.asks;
    raise(eArgumentError,
          "unknown event " + inspect(word) + " (readable, writable, priority, hangup or error)");
}

} // namespace
} // namespace zelt::rt

using namespace zelt::rt;

extern "C" {

int zl_io_events(zl_value words) {
    if (!is_heap_of(words, Type::Array)) return bits_of(words); // one word alone
    const std::vector<zl_value> &list = as<Array>(words)->values;
    if (list.empty()) raise(eArgumentError, "no events to wait for");
    int bits = 0;
    for (zl_value w : list) bits |= bits_of(w);
    return bits;
}

zl_value zl_io_event_words(int revents) {
    const zl_value *values = word_values();
    std::vector<zl_value> found;
    for (std::size_t i = 0; i < kWordCount; ++i)
        if (revents & kWords[i].answers) found.push_back(values[i]);
    return zelt::array(std::move(found));
}

} // extern "C"
