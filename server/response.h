// Builds the one response of a connection: a file under its content type, the listing page of a
// directory, or the 404 page. Lines end in a single line feed and no length header is written.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_io.h"

namespace dirhttp {

/// Files up to this size are read into the response text; larger ones are sent from the file
/// after it, so that memory stays bounded whatever the file's size.
constexpr std::uint64_t kInMemoryFileLimit = 32 * 1024;

/// One whole response: `text` goes out first; then, when `body_file` is open, the rest of the body
/// is `body_file`'s bytes from its current position.
struct Response {
  std::string text;
  InputFile body_file;
  /// Whether a read of the file failed part-way, so `text` ends with the bytes read before it:
  /// the response is not whole, and its connection ends with a reset once they are out.
  bool cut_short = false;
};

/// The 404 response, always the same 71 bytes.
extern const char kNotFoundResponse[];

/// The response for `request_target` under `document_root`. An empty target, a target that would
/// leave the document root, or a path that names nothing gives the 404 response; a directory its
/// listing page; anything else the file's bytes (none when it cannot be opened as a regular file).
Response build_response(const std::string& document_root, const std::string& request_target);

}  // namespace dirhttp
