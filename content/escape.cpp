#include "content/escape.h"

#include <string>

#include "platform/win32.h"

namespace dirhttp {
namespace {

// clang-format off
bool href_safe(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '.': case '-': case '_': case '!': case '(': case ')': case '@': case '/':
      return true;
    default:
      return false;
  }
}
// clang-format on

constexpr char32_t kReplacement = 0xFFFD;
// No character of a Windows ANSI code page (nor of UTF-8) is longer than this.
constexpr int kLongestCharacter = 4;

using WideText = std::basic_string<WCHAR>;

// clang-format off
inline void append_ascii_escaped(char c, std::string& out) {
  switch (c) {
    case '&': out += "&amp;"; break;
    case '<': out += "&lt;"; break;
    case '>': out += "&gt;"; break;
    case '"': out += "&quot;"; break;
    case '\'': out += "&#39;"; break;
    default: out += c;
  }
}
// clang-format on

void append_character(char32_t code, std::string& out) {
  if (code < 0x80) {
    append_ascii_escaped(static_cast<char>(code), out);
    return;
  }
  out += "&#";
  out += std::to_string(static_cast<unsigned long>(code));
  out += ';';
}

// Appends the characters of UTF-16 `units`; an unpaired surrogate is shown as U+FFFD.
void append_units(const WCHAR* units, std::size_t count, std::string& out) {
  for (std::size_t i = 0; i < count; ++i) {
    const char32_t unit = static_cast<char16_t>(units[i]);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count) {
      const char32_t low = static_cast<char16_t>(units[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        append_character(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), out);
        ++i;
        continue;
      }
    }
    append_character(unit >= 0xD800 && unit <= 0xDFFF ? kReplacement : unit, out);
  }
}

// Converts `text` from the ANSI code page, refusing anything that does not decode. Returns the
// number of UTF-16 units written to `wide` (no code page needs more units than bytes), or 0.
int convert_strictly(std::string_view text, WideText& wide) {
  wide.resize(text.size());
  return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(),
                             static_cast<int>(text.size()), wide.data(),
                             static_cast<int>(wide.size()));
}

// Appends the characters of `text`, which begins with a byte above 0x7F.
void append_decoded(std::string_view text, std::string& out) {
  WideText wide;
  if (const int units = convert_strictly(text, wide)) {
    append_units(wide.data(), static_cast<std::size_t>(units), out);
    return;
  }
  // Some bytes do not decode: take the text one character at a time, each the shortest run of
  // bytes that converts, and show a byte that begins none as U+FFFD.
  std::size_t i = 0;
  while (i < text.size()) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      append_ascii_escaped(text[i], out);
      ++i;
      continue;
    }
    int units = 0;
    std::size_t length = 1;
    for (; length <= kLongestCharacter && i + length <= text.size(); ++length) {
      units = convert_strictly(text.substr(i, length), wide);
      if (units != 0) break;
    }
    if (units == 0) {
      append_character(kReplacement, out);
      ++i;
    } else {
      append_units(wide.data(), static_cast<std::size_t>(units), out);
      i += length;
    }
  }
}

}  // namespace

void append_href_encoded(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (href_safe(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
}

void append_html_escaped(std::string_view text, std::string& out) {
  // ASCII bytes are characters of their own in every ANSI code page, so the text up to its first
  // byte above 0x7F is escaped byte by byte and the rest, from that character on, is decoded.
  std::size_t ascii = 0;
  for (; ascii < text.size(); ++ascii) {
    const char c = text[ascii];
    if (static_cast<unsigned char>(c) >= 0x80) break;
    append_ascii_escaped(c, out);
  }
  if (ascii < text.size()) append_decoded(text.substr(ascii), out);
}

}  // namespace dirhttp
