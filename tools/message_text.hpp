// message_text.hpp: text from outside (a path, a CALL, a runtime's message)
// made safe to put on one line of standard error.
#pragma once

#include <string>      // the escaped text
#include <string_view> // the text as given

namespace zelt_io {

// TEXT in double quotes, escaped as the runtime inspects a String (\", a
// doubled backslash, \n \t \r \e), with \xHH for other control bytes and for
// bytes that are not part of a well-formed UTF-8 character; well-formed
// characters as they are.
std::string quoted(std::string_view text);

// TEXT with its control bytes and ill-formed UTF-8 escaped as quoted()
// escapes them, quotes and backslashes left alone: a message made elsewhere
// stays one line, and reads as it was written.
std::string one_line(std::string_view text);

} // namespace zelt_io
