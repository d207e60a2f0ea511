// The Win32 and Winsock names the program calls. On Windows these are the real headers; elsewhere
// the POSIX stand-in declares the same names with the same contracts. This is the only file that
// asks which platform it is built for.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>
// clang-format on
namespace dirhttp {
/// Whether file names follow Windows rules: drive letters and streams after a colon, trailing
/// dots and spaces dropped, device names such as CON reserved in every directory.
constexpr bool kWindowsFileNames = true;
}  // namespace dirhttp
#else
#include "posix/win32_posix.h"
namespace dirhttp {
constexpr bool kWindowsFileNames = false;
}  // namespace dirhttp
#endif
