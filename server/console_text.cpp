// Control bytes from outside would reach the terminal as commands (retitle, clear, move the
// cursor, forge lines); written as \xHH they are only shown.
#include "server/console_text.h"

namespace dirhttp {
namespace {

bool is_control(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

void append_escaped(std::string_view text, std::string& out) {
  constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (is_control(byte)) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
}

}  // namespace

std::string escape_console_line(std::string_view line) {
  // The carriage return before the line feed that ended the request line is echoed as the
  // request has it; at the end of the line it moves the cursor to where the line end puts it.
  const bool ends_in_cr = !line.empty() && line.back() == '\r';
  if (ends_in_cr) line.remove_suffix(1);
  std::string out;
  out.reserve(line.size() + 1);
  append_escaped(line, out);
  if (ends_in_cr) out += '\r';
  return out;
}

std::string escape_console_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(text, out);
  return out;
}

}  // namespace dirhttp
