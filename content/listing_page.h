// The HTML listing page of a directory: a heading naming the requested path and one link per
// entry, in the order the platform enumerates them, names beginning with a dot left out.
#pragma once

#include <string>

namespace dirhttp {

/// The listing page for the directory `full_path`, requested as `request_target` (backslash
/// separators, never empty). Link targets are percent-encoded and texts HTML-escaped; a directory
/// that cannot be enumerated gives the heading and an empty list.
std::string make_listing_page(const std::string& request_target, const std::string& full_path);

}  // namespace dirhttp
