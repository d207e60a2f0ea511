// The stand-in's ANSI code page: UTF-8, the encoding of file names on POSIX systems, decoded
// strictly (no overlong forms, no surrogates, nothing above U+10FFFF).
#include <errno.h>

#include <cstddef>

#include "platform/win32.h"

namespace {

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 sequence at the start of `s` (`n` bytes available), or 0.
std::size_t sequence_length(const unsigned char* s, std::size_t n) {
  const unsigned char c = s[0];
  if (c < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80;  // the range of the second byte, narrower after some lead bytes
  unsigned char high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // overlong
    if (c == 0xED) high = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;   // overlong
    if (c == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (n < length || s[1] < low || s[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!continuation(s[i])) return 0;
  }
  return length;
}

char32_t decode(const unsigned char* s, std::size_t length) {
  if (length == 1) return s[0];
  char32_t code = s[0] & (0xFF >> (length + 1));
  for (std::size_t i = 1; i < length; ++i) code = (code << 6) | (s[i] & 0x3F);
  return code;
}

}  // namespace

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int byte_count, LPWSTR wide,
                        int wide_count) {
  if ((code_page != CP_ACP && code_page != CP_UTF8) || text == nullptr || byte_count == 0 ||
      byte_count < -1 || wide_count < 0 || (wide_count > 0 && wide == nullptr)) {
    errno = EINVAL;
    return 0;
  }
  std::size_t n = 0;
  if (byte_count == -1) {
    while (text[n] != '\0') ++n;
    ++n;  // the NUL is converted too
  } else {
    n = static_cast<std::size_t>(byte_count);
  }
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  std::size_t units = 0;
  auto put = [&](char16_t unit) {
    if (wide_count > 0 && units < static_cast<std::size_t>(wide_count)) wide[units] = unit;
    ++units;
  };
  for (std::size_t i = 0; i < n;) {
    const std::size_t length = sequence_length(s + i, n - i);
    if (length == 0) {
      if (flags & MB_ERR_INVALID_CHARS) {
        errno = EILSEQ;  // ERROR_NO_UNICODE_TRANSLATION
        return 0;
      }
      put(0xFFFD);
      ++i;
      continue;
    }
    const char32_t code = decode(s + i, length);
    if (code >= 0x10000) {
      put(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      put(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      put(static_cast<char16_t>(code));
    }
    i += length;
  }
  if (wide_count > 0 && units > static_cast<std::size_t>(wide_count)) {
    errno = ENOBUFS;  // ERROR_INSUFFICIENT_BUFFER
    return 0;
  }
  return static_cast<int>(units);
}
