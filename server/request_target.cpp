#include "server/request_target.h"

#include <algorithm>
#include <cstring>
#include <iostream>

namespace dirhttp {
namespace {

bool is_method_byte(unsigned char c) { return c >= 'A' && c <= 'Z'; }

// The bytes a path may consist of: letters, digits and % . - _ ! ( ) @ /
struct TargetSet {
  bool member[256] = {};
  constexpr TargetSet() {
    for (int c = 'A'; c <= 'Z'; ++c) member[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) member[c] = true;
    for (int c = '0'; c <= '9'; ++c) member[c] = true;
    for (char c : {'%', '.', '-', '_', '!', '(', ')', '@', '/'}) member[static_cast<int>(c)] = true;
  }
};

constexpr TargetSet kTarget;

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Tries the request-line shape at `line`, which ends at `end` or earlier at a byte outside every
// run. On a match sets the captured path and returns true.
bool match_line(const char* line, const char* end, const char** path, std::size_t* length) {
  const char* p = line;
  while (p < end && is_method_byte(static_cast<unsigned char>(*p))) ++p;
  if (p == line || p == end || *p != ' ') return false;
  while (p < end && *p == ' ') ++p;
  const char* start = p;
  while (p < end && kTarget.member[static_cast<unsigned char>(*p)]) ++p;
  if (p == start || p == end || *p != ' ') return false;
  *path = start;
  *length = static_cast<std::size_t>(p - start);
  return true;
}

// The first line feed in [p, end), or nullptr. Most lines of a request are short, and a few
// bytes looked at here cost less than a call to memchr.
const char* next_line_feed(const char* p, const char* end) {
  for (int i = 0; i < 16 && p < end; ++i, ++p) {
    if (*p == '\n') return p;
  }
  if (p >= end) return nullptr;
  return static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
}

// Decodes the %-escapes of [text, text + size) in one pass (see percent_decode); with
// `slash_to_backslash` each "/" of the undecoded text becomes "\\" first. Runs without an escape
// are copied whole.
std::string decode(const char* text, std::size_t size, bool slash_to_backslash) {
  std::string decoded(size, '\0');
  char* out = &decoded[0];
  std::size_t i = 0;
  while (i < size) {
    const char* percent = static_cast<const char*>(std::memchr(text + i, '%', size - i));
    const std::size_t run =
        (percent == nullptr ? size : static_cast<std::size_t>(percent - text)) - i;
    if (slash_to_backslash) {
      for (std::size_t k = 0; k < run; ++k) {
        const char c = text[i + k];
        out[k] = c == '/' ? '\\' : c;
      }
    } else {
      std::memcpy(out, text + i, run);
    }
    out += run;
    i += run;
    if (percent == nullptr) break;
    // Like scanning "%x" over the (up to) two bytes after the percent sign: an optional minus,
    // then hex digits up to the first byte that is none. "0x" reads as zero, as the scan does.
    std::size_t j = i + 1;
    const std::size_t stop = std::min(size, i + 3);
    bool negative = false;
    if (j < stop && text[j] == '-') {
      negative = true;
      ++j;
    }
    int value = 0;
    bool any_digit = false;
    for (; j < stop; ++j) {
      const int digit = hex_value(static_cast<unsigned char>(text[j]));
      if (digit < 0) break;
      value = value * 16 + digit;
      any_digit = true;
    }
    if (negative) value = -value;
    *out++ = any_digit ? static_cast<char>(static_cast<unsigned char>(value & 0xFF)) : '\0';
    i += 3;
  }
  decoded.resize(static_cast<std::size_t>(out - decoded.data()));
  return decoded;
}

}  // namespace

std::string extract_request_target(const std::string& request_text) {
  const char* const begin = request_text.data();
  const char* const end = begin + request_text.size();
  const char* line = begin;
  while (line < end) {
    const char* path = nullptr;
    std::size_t length = 0;
    // A request line starts with a capital letter; any other line is skipped without a try.
    if (is_method_byte(static_cast<unsigned char>(*line)) &&
        match_line(line, end, &path, &length)) {
      return decode(path, length, true);
    }
    // No run crosses a line feed, so the next attempt starts right after the next one.
    const char* feed = next_line_feed(line, end);
    if (feed == nullptr) break;
    line = feed + 1;
  }
  std::cout << "NOMATCH" << std::endl;
  return std::string();
}

std::string percent_decode(const std::string& text) {
  return decode(text.data(), text.size(), false);
}

}  // namespace dirhttp
