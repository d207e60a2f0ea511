// The socket settings, non-blocking transfers and accept-error classes of net.h over Winsock 2.
#include "platform/net.h"

#include <algorithm>

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

namespace {

// WSAPoll takes any number of sockets; this bounds the poll set's scan and the memory held.
constexpr std::size_t kMostConnections = 1024;

// send and recv take an int count.
constexpr std::size_t kLargestTransfer = 1u << 30;

Transfer transferred(int n) {
  if (n > 0) return {Transfer::kMoved, static_cast<std::size_t>(n), 0};
  if (n == 0) return {Transfer::kEnded, 0, 0};
  const int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return {Transfer::kWouldBlock, 0, 0};
  return {Transfer::kFailed, 0, error};
}

}  // namespace

void make_nonblocking(SOCKET socket) {
  u_long on = 1;
  ioctlsocket(socket, FIONBIO, &on);
}

SOCKET accept_nonblocking(SOCKET listener, int* error) {
  const SOCKET client = accept(listener, nullptr, nullptr);
  if (client == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return INVALID_SOCKET;
  }
  // An accepted socket takes the listening socket's properties; set it anyway rather than
  // rely on that, since a blocking call here would stall every connection.
  make_nonblocking(client);
  SetHandleInformation(reinterpret_cast<HANDLE>(client), HANDLE_FLAG_INHERIT, 0);
  return client;
}

Transfer receive_now(SOCKET socket, char* data, std::size_t size) {
  return transferred(recv(socket, data, static_cast<int>(std::min(size, kLargestTransfer)), 0));
}

Transfer send_now(SOCKET socket, const char* data, std::size_t size) {
  return transferred(send(socket, data, static_cast<int>(std::min(size, kLargestTransfer)), 0));
}

void set_reset_on_close(SOCKET socket, bool abortive) {
  // A linger of zero seconds makes closesocket a hard close: the connection is reset.
  const linger setting{static_cast<u_short>(abortive ? 1 : 0), 0};
  setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&setting),
             sizeof(setting));
}

std::size_t connection_capacity() { return kMostConnections; }

bool error_would_block(int error) { return error == WSAEWOULDBLOCK; }

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
