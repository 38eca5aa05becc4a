// message_text.cpp: escaping for the messages zelt-io prints.
#include "message_text.hpp"

#include <zelt/embed.hpp> // inspect, str: a String shown as the runtime shows it

namespace zelt_io {

std::string quoted(std::string_view text) { return zelt::inspect(zelt::str(text)); }

std::string one_line(std::string_view text) {
    const std::string shown = quoted(text);
    std::string out;
    for (std::size_t i = 1; i + 1 < shown.size(); ++i) { // inside the quotes
        if (shown[i] == '\\' && (shown[i + 1] == '"' || shown[i + 1] == '\\'))
            ++i; // \" and \\ back as they were written
        out += shown[i];
    }
    return out;
}

} // namespace zelt_io
