// streams.cpp: pipes holding bytes, and the loaded wait extension.
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

} // namespace zb
