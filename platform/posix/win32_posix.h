// POSIX stand-in for the handful of Win32 and Winsock calls the program makes. Each keeps the
// contract of the Win32 function it is named after; file names arrive with backslash separators
// and end at their first NUL, exactly as the Win32 call would see them.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>

typedef std::uint32_t DWORD;
typedef std::uint16_t WORD;
typedef int BOOL;
typedef int INT;
typedef unsigned long ULONG;
typedef void* HANDLE;
typedef void* HWND;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef void* HINSTANCE;
typedef unsigned int UINT;

// ---- file system -------------------------------------------------------------------------------

constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
constexpr int MAX_PATH = 260;

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  char cFileName[MAX_PATH];
  char cAlternateFileName[14];
};

/// Attribute word of the file or directory that `file_name` names (FILE_ATTRIBUTE_DIRECTORY for a
/// directory), or INVALID_FILE_ATTRIBUTES when it names nothing that can be queried.
DWORD GetFileAttributesA(LPCSTR file_name);

/// Opens an enumeration of the directory named by `pattern` ("dir\*") and fills `data` with its
/// first entry. Entries come in the order NTFS delivers them: "." and "..", then the names compared
/// with a-z read as A-Z, then byte by byte (unsigned). Names holding a backslash are left out: no
/// request could name them. Returns INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data);

/// Fills `data` with the next entry in that order; zero when there are no more entries.
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data);

/// Ends an enumeration opened by FindFirstFileA.
BOOL FindClose(HANDLE find);

/// Copies the current directory (NUL-terminated) into `buffer`; returns its length, or 0 when it
/// cannot be read (GetLastError then tells why).
DWORD GetCurrentDirectoryA(DWORD buffer_length, LPSTR buffer);

/// The error code of the last failed call that is not a socket call: the errno.
DWORD GetLastError();

// ---- text --------------------------------------------------------------------------------------

typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x08;

/// Converts `byte_count` bytes of `text` (up to and including its NUL when -1) from a code page to
/// UTF-16 into `wide`, which holds `wide_count` units; with `wide_count` 0 only counts them. Here
/// the ANSI code page (CP_ACP) is UTF-8, as file names are. With MB_ERR_INVALID_CHARS a byte
/// sequence that is not well-formed UTF-8 fails the call; without it, each such byte becomes
/// U+FFFD. Returns the number of units, or 0 on failure (invalid input, too small a buffer, an
/// unknown code page, an empty input).
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int byte_count, LPWSTR wide,
                        int wide_count);

// ---- sockets -----------------------------------------------------------------------------------

typedef int SOCKET;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
// The request for the largest backlog the system allows, as on Windows; the kernel caps it.
#undef SOMAXCONN
#define SOMAXCONN 0x7fffffff
constexpr int SD_SEND = SHUT_WR;
constexpr int WSAETIMEDOUT = 110;  // ETIMEDOUT, the code a timed-out receive reports here

typedef pollfd WSAPOLLFD;

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
};

inline constexpr WORD MAKEWORD(int low, int high) {
  return static_cast<WORD>((low & 0xFF) | ((high & 0xFF) << 8));
}

/// Starts the socket layer: accepts version 2.2 (0x0202) and returns 0. Also makes sure that a
/// send to a closed peer fails with an error instead of raising SIGPIPE.
int WSAStartup(WORD version, WSADATA* data);
/// Shuts the socket layer down; returns 0.
int WSACleanup();
/// The last socket error: the errno of the last failed call.
int WSAGetLastError();
/// Closes a socket; 0 or SOCKET_ERROR.
int closesocket(SOCKET s);
/// Waits for readiness on `count` sockets, like poll(); a negative timeout waits forever.
int WSAPoll(WSAPOLLFD* fds, ULONG count, INT timeout_ms);

// ---- shell and user interface ------------------------------------------------------------------

constexpr int SW_SHOW = 5;
constexpr UINT MB_OK = 0x0;
constexpr UINT MB_ICONERROR = 0x10;

/// Opens `file` (a URL) with the desktop's opener, fully detached, only where a graphical session
/// exists. Returns a value above 32 when it was started, as the Win32 call does.
HINSTANCE ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                        LPCSTR directory, INT show);

/// Writes `caption` and `text` to standard error; where a graphical session and a dialog program
/// exist it also shows them in a dialog and waits until it is dismissed. Returns 1 (IDOK).
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
