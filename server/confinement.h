// The one check that keeps request targets inside the document root.
#pragma once

#include <string>

namespace dirhttp {

/// True when `request_target`, appended to the document root, names a path inside it: it begins
/// with a backslash, has no ".." segment (split on backslash and slash), and holds no NUL byte.
/// With `windows_names` also no colon, no segment of only dots and spaces (two or more), no
/// reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, CLOCK$, any case,
/// with any extension), and every byte converts from the ANSI code page (MultiByteToWideChar
/// with MB_ERR_INVALID_CHARS), so that the name checked is the name Windows opens.
bool target_is_confined(const std::string& request_target, bool windows_names);

}  // namespace dirhttp
