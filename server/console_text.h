// Text from outside the program (a client's request line, an argument, a file name) made safe to
// print on the console of the person running the server.
#pragma once

#include <string>
#include <string_view>

namespace dirhttp {

/// `line` with every control byte (0x00-0x1F and 0x7F) written as \xHH with upper-case hex
/// digits, except a carriage return as its last byte, which is kept: the one that ends an echoed
/// request line. Every other byte, high bytes included, is copied unchanged.
std::string escape_console_line(std::string_view line);

/// `text` with every control byte written as \xHH, a final carriage return included: for text
/// printed inside a line of the program's own.
std::string escape_console_text(std::string_view text);

}  // namespace dirhttp
