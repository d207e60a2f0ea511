// The content type of a file, chosen from the extension of its full path by a fixed table.
#pragma once

#include <string>

namespace dirhttp {

/// The media type for `full_path`: the text after the path's last dot (the whole path when it
/// has none), ASCII-lower-cased and looked up in the fixed table; "application/octet-stream" when
/// nothing matches. The whole string counts: a NUL inside it does not end the search.
std::string content_type_for_path(const std::string& full_path);

}  // namespace dirhttp
