// Whether the current directory can be served as the document root on this platform.
#pragma once

#include <string>

namespace dirhttp {

/// The line printed when the start-up refuses the current directory.
extern const char kBackslashRootLine[];

/// True when `path`, the current directory, can be the document root. With POSIX names
/// (`windows_names` false) it must hold no backslash: the program reads every backslash of a
/// path as a separator and would serve another directory (a\..\..\.. would be the file
/// system's root).
bool root_is_servable(const std::string& path, bool windows_names);

/// Checks `path` with this platform's names; when it cannot be served, prints kBackslashRootLine
/// on standard output and returns false.
bool accept_document_root(const std::string& path);

}  // namespace dirhttp
