// The content type chosen from a full path's extension.
#include "content/content_type.h"

#include <gtest/gtest.h>

#include <string>

namespace dirhttp {
namespace {

using namespace std::string_literals;

struct TypeCase {
  std::string path;
  std::string type;
};

TEST(ContentType, EveryTableEntry) {
  const TypeCase cases[] = {
      {"C:\\site\\a.html", "text/html"},       {"C:\\site\\a.css", "text/css"},
      {"C:\\site\\a.js", "application/js"},    {"C:\\site\\a.jpg", "image/jpeg"},
      {"C:\\site\\a.jpeg", "image/jpeg"},      {"C:\\site\\a.gif", "image/gif"},
      {"C:\\site\\a.png", "image/png"},        {"C:\\site\\a.svg", "image/svg+xml"},
      {"C:\\site\\a.txt", "text/plain"},       {"C:\\site\\a.cpp", "text/plain"},
      {"C:\\site\\a.gltf", "text/plain"},      {"C:\\site\\a.json", "application/json"},
      {"C:\\site\\a.mp3", "audio/mpeg"},       {"C:\\site\\a.ogg", "audio/ogg"},
      {"C:\\site\\a.wav", "audio/vnd.wav"},
  };
  for (const TypeCase& c : cases) EXPECT_EQ(content_type_for_path(c.path), c.type) << c.path;
}

TEST(ContentType, EdgeCases) {
  const TypeCase cases[] = {
      // ASCII letters fold; nothing else does.
      {"\\r\\INDEX.HTML", "text/html"},
      {"\\r\\Index.Html", "text/html"},
      {"\\r\\Photo.JpG", "image/jpeg"},
      {"\\r\\TRACK.MP3", "audio/mpeg"},
      {"\\r\\data.JSON", "application/json"},
      // Only exact equality counts: no prefix or suffix matches.
      {"\\r\\a.htm", "application/octet-stream"},
      {"\\r\\a.jsx", "application/octet-stream"},
      {"\\r\\a.json5", "application/octet-stream"},
      {"\\r\\a.mp4", "application/octet-stream"},
      {"\\r\\a.svgz", "application/octet-stream"},
      {"\\r\\a.xhtml", "application/octet-stream"},
      // Only the last dot counts.
      {"\\r\\archive.tar.gz", "application/octet-stream"},
      {"\\r\\app.min.js", "application/js"},
      {"\\r\\page.html.bak", "application/octet-stream"},
      {"\\r\\ends.in.dot.", "application/octet-stream"},
      // A file without a dot takes its extension from a dot further up.
      {"\\r\\docs.old\\README", "application/octet-stream"},
      {"C:\\my.site\\README", "application/octet-stream"},
      {"\\r\\pages.html\\README", "application/octet-stream"},
      {"\\r\\html", "application/octet-stream"},
      {"html", "text/html"},
      {"\\r\\.json", "application/json"},
      {"", "application/octet-stream"},
      // High bytes and NUL are not folded and never match.
      {"\\r\\a.ht\xCDl", "application/octet-stream"},
      {"\\r\\a.htm\0"s, "application/octet-stream"},
      // A NUL does not end the search for the last dot.
      {"\\r\\a.txt\0.png"s, "image/png"},
      {"\\r\\secret.txt\0.html"s, "text/html"},
  };
  for (const TypeCase& c : cases) {
    EXPECT_EQ(content_type_for_path(c.path), c.type) << "path of " << c.path.size() << " bytes";
  }
}

}  // namespace
}  // namespace dirhttp
