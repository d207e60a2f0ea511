// The one check that keeps request targets inside the document root.
#pragma once

#include <string>

namespace dirhttp {

/// True when `request_target`, appended to the document root, names a path inside it: it begins
/// with a backslash, has no ".." segment (split on backslash and slash), and holds no NUL byte.
/// With `windows_names` also no colon, no segment of only dots and spaces (two or more), and no
/// reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, any case, with any extension).
bool target_is_confined(const std::string& request_target, bool windows_names);

}  // namespace dirhttp
