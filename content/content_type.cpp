#include "content/content_type.h"

#include <string_view>

namespace dirhttp {
namespace {

struct TypeEntry {
  std::string_view extension;
  std::string_view content_type;
};

// Tested in this order; the extensions are distinct, so the order never changes a result.
constexpr TypeEntry kTypes[] = {
    {"html", "text/html"},        {"css", "text/css"},          {"js", "application/js"},
    {"jpg", "image/jpeg"},        {"jpeg", "image/jpeg"},       {"gif", "image/gif"},
    {"png", "image/png"},         {"svg", "image/svg+xml"},     {"txt", "text/plain"},
    {"cpp", "text/plain"},        {"gltf", "text/plain"},       {"json", "application/json"},
    {"mp3", "audio/mpeg"},        {"ogg", "audio/ogg"},         {"wav", "audio/vnd.wav"},
};

constexpr std::string_view kDefaultType = "application/octet-stream";
constexpr std::size_t kLongestExtension = 4;

}  // namespace

std::string content_type_for_path(const std::string& full_path) {
  const std::size_t dot = full_path.rfind('.');
  const std::size_t start = dot == std::string::npos ? 0 : dot + 1;
  const std::size_t length = full_path.size() - start;
  if (length == 0 || length > kLongestExtension) return std::string(kDefaultType);
  char folded[kLongestExtension];
  for (std::size_t i = 0; i < length; ++i) {
    const char c = full_path[start + i];
    folded[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
  }
  const std::string_view extension(folded, length);
  for (const TypeEntry& entry : kTypes) {
    if (entry.extension == extension) return std::string(entry.content_type);
  }
  return std::string(kDefaultType);
}

}  // namespace dirhttp
