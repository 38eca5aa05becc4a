// streams.cpp: pipes holding bytes, and the loaded wait and wait_write extensions.
#include "streams.hpp" // zb::pipe_holding, zb::methods

namespace zb {

Ends pipe_holding(std::string_view bytes) {
    Ends ends = zt::make_pipe();
    zt::write_all(ends.peer.get(), bytes);
    return ends;
}

const Methods &methods() {
    static const Methods m = [] {
        zelt::require("wait");
        return Methods{zelt::intern("nread"), zelt::intern("ready?"), zelt::intern("wait"),
                       zelt::intern("gets")};
    }();
    return m;
}

const WriteMethods &write_methods() {
    static const WriteMethods m = [] {
        zelt::require("wait_write");
        return WriteMethods{zelt::intern("nwrite"), zelt::intern("writable?"),
                            zelt::intern("wait_writable")};
    }();
    return m;
}

} // namespace zb
