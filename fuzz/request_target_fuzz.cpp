// Fuzzes extract_request_target and percent_decode on arbitrary request texts. Besides crashes
// and sanitizer reports it checks: the target is empty exactly when no line has the request-line
// shape (told by a separate, plain scan); a found target is never longer than the captured path,
// and holds a slash only where the path had a %2F escape.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <streambuf>
#include <string>

#include "fuzz/fuzz_check.h"
#include "server/request_target.h"

namespace {

// Swallows the "NOMATCH" lines, which would otherwise flood the fuzzer's output.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
};

const std::string kUpper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
const std::string kPathBytes =
    "%.-_!()@/ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// The reference: the captured path of the first line (start of text or after a LF) that reads
// capitals, spaces, path bytes, a space. False when no line does.
bool reference_capture(const std::string& text, std::string* capture) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t feed = text.find('\n', start);
    if (feed == std::string::npos) feed = text.size();
    const std::string line = text.substr(start, feed - start);
    const std::size_t method_end = line.find_first_not_of(kUpper);
    if (method_end != 0 && method_end != std::string::npos && line[method_end] == ' ') {
      const std::size_t path_start = line.find_first_not_of(' ', method_end);
      if (path_start != std::string::npos) {
        const std::size_t path_end = line.find_first_not_of(kPathBytes, path_start);
        if (path_end != std::string::npos && path_end > path_start && line[path_end] == ' ') {
          *capture = line.substr(path_start, path_end - path_start);
          return true;
        }
      }
    }
    start = feed + 1;
  }
  return false;
}

// Escapes that can decode to a slash: %2F and %2f (a minus sign allows only one digit).
std::size_t escaped_slashes(const std::string& path) {
  std::size_t count = 0;
  for (std::size_t i = 0; i + 2 < path.size(); ++i) {
    if (path[i] == '%' && path[i + 1] == '2' && (path[i + 2] == 'F' || path[i + 2] == 'f')) {
      ++count;
    }
  }
  return count;
}

std::size_t count_of(const std::string& text, char c) {
  std::size_t n = 0;
  for (char b : text) n += (b == c);
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static NullBuffer null_buffer;
  std::cout.rdbuf(&null_buffer);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 65535) return 0;  // one receive never delivers more
  const std::string text(reinterpret_cast<const char*>(data), size);

  const std::string target = dirhttp::extract_request_target(text);
  std::string capture;
  const bool matches = reference_capture(text, &capture);
  FUZZ_CHECK(target.empty() == !matches);
  if (matches) {
    FUZZ_CHECK(target.size() <= capture.size());
    FUZZ_CHECK(count_of(target, '/') <= escaped_slashes(capture));
    if (capture.find('%') == std::string::npos) {
      std::string converted = capture;
      for (char& c : converted) c = (c == '/') ? '\\' : c;
      FUZZ_CHECK(target == converted);
    }
  }

  // percent_decode alone: one byte per plain byte or escape, plain text unchanged.
  const std::string decoded = dirhttp::percent_decode(text);
  FUZZ_CHECK(decoded.size() <= text.size());
  FUZZ_CHECK(decoded.size() * 3 >= text.size());
  if (text.find('%') == std::string::npos) FUZZ_CHECK(decoded == text);
  return 0;
}
