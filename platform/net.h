// Socket settings and error classes that differ between platforms, behind one set of names.
#pragma once

#include "platform/win32.h"

namespace dirhttp {

/// Prepares a listening socket before bind: on POSIX allows a restart while old connections sit
/// in TIME_WAIT; on Windows takes the port exclusively (never SO_REUSEADDR there). On both, the
/// socket is not inherited by processes the server starts.
void prepare_listening_socket(SOCKET listener);

/// Makes a send on `socket` that moves no byte for `milliseconds` fail with an error. Set on a
/// listening socket, it holds for every socket accepted from it.
void set_send_timeout(SOCKET socket, int milliseconds);

/// The number of received bytes waiting to be read on `socket` (0 when it cannot be told).
unsigned long pending_receive_bytes(SOCKET socket);

/// True when an accept error means the listening socket itself is unusable; false for an error
/// about one connection or a passing shortage, after which accepting can go on.
bool accept_error_is_fatal(int error);

/// True when an accept error is a shortage of descriptors or memory that lasts a while, so the
/// loop should pause briefly before trying again.
bool accept_error_is_exhaustion(int error);

}  // namespace dirhttp
