// Socket settings, non-blocking transfers and error classes that differ between platforms, behind
// one set of names.
#pragma once

#include <cstddef>

#include "platform/win32.h"

namespace dirhttp {

/// What one non-blocking socket call did: moved `bytes` (more than zero), could move nothing
/// without waiting, met the end of the stream (a receive: the peer ended its sending side; a file
/// send: the file ended early), or failed with the socket error `error`.
struct Transfer {
  enum Outcome { kMoved, kWouldBlock, kEnded, kFailed };
  Outcome outcome;
  std::size_t bytes;
  int error;
};

/// Prepares a listening socket before bind: on POSIX allows a restart while old connections sit
/// in TIME_WAIT; on Windows takes the port exclusively (never SO_REUSEADDR there). On both, the
/// socket is not inherited by processes the server starts.
void prepare_listening_socket(SOCKET listener);

/// Makes `socket` non-blocking: its calls return at once instead of waiting.
void make_nonblocking(SOCKET socket);

/// Accepts one pending connection on the non-blocking `listener` as a non-blocking socket that
/// processes the server starts do not inherit. Returns INVALID_SOCKET with the socket error in
/// `error` when none can be accepted (see error_would_block).
SOCKET accept_nonblocking(SOCKET listener, int* error);

/// Receives up to `size` bytes from the non-blocking `socket` into `data` without waiting.
Transfer receive_now(SOCKET socket, char* data, std::size_t size);

/// Sends up to `size` bytes of `data` on the non-blocking `socket` without waiting.
Transfer send_now(SOCKET socket, const char* data, std::size_t size);

/// With `abortive` true, makes the close of `socket` a reset (linger on with a zero time-out),
/// also when the process dies with it open, so the client sees a failed transfer, never an
/// orderly end; with false, the close is orderly again and unsent bytes still go out.
void set_reset_on_close(SOCKET socket, bool abortive);

/// How many connections may be open at once: as many as the descriptors the process may hold
/// allow (POSIX raises its soft limit to the hard one first), keeping a reserve for the listening
/// socket, the standard streams, the files being sent and a listing's enumeration; a fixed number
/// on Windows.
std::size_t connection_capacity();

/// True when a socket error means the call would have had to wait.
bool error_would_block(int error);

/// True when an accept error means the listening socket itself is unusable; false for an error
/// about one connection or a passing shortage, after which accepting can go on.
bool accept_error_is_fatal(int error);

/// True when an accept error is a shortage of descriptors or memory that lasts a while, so the
/// loop should pause accepting briefly before trying again.
bool accept_error_is_exhaustion(int error);

}  // namespace dirhttp
