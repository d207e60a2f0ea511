// Fuzzes content_type_for_path: the result is always one of the table's media types or the
// default, and folding the path's ASCII letters to capitals never changes it.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "content/content_type.h"
#include "fuzz/fuzz_check.h"

namespace {

const std::set<std::string> kKnownTypes = {
    "text/html",  "text/css",  "application/js", "image/jpeg",       "image/gif",
    "image/png",  "image/svg+xml", "text/plain",  "application/json", "audio/mpeg",
    "audio/ogg",  "audio/vnd.wav", "application/octet-stream",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);
  const std::string type = dirhttp::content_type_for_path(path);
  FUZZ_CHECK(kKnownTypes.count(type) == 1);

  std::string upper = path;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  FUZZ_CHECK(dirhttp::content_type_for_path(upper) == type);
  return 0;
}
