// Turns a Win32-style name (backslash separators, NUL-terminated) into the POSIX path it names.
#pragma once

#include <string>

namespace dirhttp {

/// `name` up to its first NUL, with every backslash turned into a slash.
std::string native_path(const char* name);

}  // namespace dirhttp
