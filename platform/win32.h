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
/// Whether "/?" asks a console program for help, as it does the system's own commands.
constexpr bool kSlashQuestionMarkIsHelp = true;
/// Where the manual is, as the usage text names it.
constexpr char kManualPlace[] = "README.txt, beside dirhttp.exe";
}  // namespace dirhttp
#else
#include "posix/win32_posix.h"
namespace dirhttp {
constexpr bool kWindowsFileNames = false;
constexpr bool kSlashQuestionMarkIsHelp = false;  // "/?" is a path that the shell may expand
constexpr char kManualPlace[] = "man dirhttp";
}  // namespace dirhttp
#endif
