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

}  // namespace

std::string extract_request_target(const std::string& request_text) {
  const char* const begin = request_text.data();
  const char* const end = begin + request_text.size();
  const char* line = begin;
  while (true) {
    const char* path = nullptr;
    std::size_t length = 0;
    if (match_line(line, end, &path, &length)) {
      std::string target(path, length);
      for (char& c : target) {
        if (c == '/') c = '\\';
      }
      return percent_decode(target);
    }
    // No run crosses a line feed, so the next attempt starts right after the next one.
    const void* feed = std::memchr(line, '\n', static_cast<std::size_t>(end - line));
    if (feed == nullptr) break;
    line = static_cast<const char*>(feed) + 1;
  }
  std::cout << "NOMATCH" << std::endl;
  return std::string();
}

std::string percent_decode(const std::string& text) {
  std::string decoded;
  decoded.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      decoded += text[i];
      ++i;
      continue;
    }
    // Like scanning "%x" over the (up to) two bytes after the percent sign: an optional minus,
    // then hex digits up to the first byte that is none. "0x" reads as zero, as the scan does.
    std::size_t j = i + 1;
    const std::size_t stop = std::min(text.size(), i + 3);
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
    decoded += any_digit ? static_cast<char>(static_cast<unsigned char>(value & 0xFF)) : '\0';
    i += 3;
  }
  return decoded;
}

}  // namespace dirhttp
