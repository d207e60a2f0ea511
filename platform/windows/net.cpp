// The socket settings and accept-error classes of net.h over Winsock 2.
#include "platform/net.h"

namespace dirhttp {

void prepare_listening_socket(SOCKET listener) {
  // Exclusive use: no other program can bind the port while this one listens. SO_REUSEADDR is
  // never set here, since on Windows it would let another program take the port over.
  BOOL on = TRUE;
  setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
             sizeof(on));
  // The browser that ShellExecuteA starts must not inherit the listening socket: the port would
  // stay taken, answering nobody, after this server ends.
  SetHandleInformation(reinterpret_cast<HANDLE>(listener), HANDLE_FLAG_INHERIT, 0);
}

void set_send_timeout(SOCKET socket, int milliseconds) {
  const DWORD timeout = static_cast<DWORD>(milliseconds);
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
             sizeof(timeout));
}

unsigned long pending_receive_bytes(SOCKET socket) {
  u_long count = 0;
  if (ioctlsocket(socket, FIONREAD, &count) != 0) return 0;
  return count;
}

bool accept_error_is_fatal(int error) {
  switch (error) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAEINTR:
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
    case WSAEMFILE:
    case WSAENOBUFS:
    case WSA_NOT_ENOUGH_MEMORY:
    case WSAENETDOWN:
    case WSAENETRESET:
    case WSAENETUNREACH:
    case WSAEHOSTDOWN:
    case WSAEHOSTUNREACH:
    case WSAETIMEDOUT:
    case WSAEACCES:  // a firewall refused this one connection
    case WSAEPROCLIM:
    case WSATRY_AGAIN:
      return false;
    default:  // WSAENOTSOCK, WSAEINVAL, WSAEFAULT, WSAEOPNOTSUPP, WSANOTINITIALISED, ...
      return true;
  }
}

bool accept_error_is_exhaustion(int error) {
  return error == WSAEMFILE || error == WSAENOBUFS || error == WSA_NOT_ENOUGH_MEMORY ||
         error == WSAEPROCLIM;
}

}  // namespace dirhttp
