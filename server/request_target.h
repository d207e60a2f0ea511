// Finds the request line in a request text and turns its path into the request target: slashes
// become backslashes, then percent-escapes are decoded.
#pragma once

#include <string>

namespace dirhttp {

/// The request target of `request_text`: the path of the first line that reads as capital
/// letters, spaces, a path of URL-safe bytes and a space, with each "/" turned into "\" and its
/// escapes decoded. Empty, after printing "NOMATCH" on standard output, when no line fits.
std::string extract_request_target(const std::string& request_text);

/// Decodes the %-escapes of `text` in one pass: "%" and the two bytes after it become one byte,
/// the low 8 bits of those bytes read as an optionally signed hexadecimal number. An escape that
/// holds no digit becomes a NUL byte. Decoded bytes are never decoded again.
std::string percent_decode(const std::string& text);

}  // namespace dirhttp
